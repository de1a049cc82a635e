// tarnlet_master.business_layer.packages.feedscout: the package-index client.
//
// Module-level names are looked up at use time, so the availability flags, the imported
// classes and the default index can be replaced from Python.
#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

// `from <module> import <name>`, or None when the import fails for any ordinary reason.
py::object optional_import(const char *module, const char *name) {
    try {
        py::object imported = py::module_::import(module);
        return name == nullptr ? imported : py::object(imported.attr(name));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::none();
    }
}

void register_logger(py::module_ &m) {
    m.attr("logger") = py::module_::import("tarnlet_master.logging_config").attr("get_logger")(m.attr("__name__"));
}

void register_optional_dependencies(py::module_ &m) {
    m.attr("aiohttp") = optional_import("aiohttp", nullptr);

    py::object finder = optional_import("unearth", "PackageFinder");
    m.attr("PackageFinder") = finder;
    m.attr("UNEARTH_AVAILABLE") = py::bool_(!finder.is_none());

    py::object specifier_set = optional_import("packaging.specifiers", "SpecifierSet");
    py::object version = optional_import("packaging.version", "Version");
    const bool packaging_available = !specifier_set.is_none() && !version.is_none();
    m.attr("SpecifierSet") = packaging_available ? specifier_set : py::none();
    m.attr("Version") = packaging_available ? version : py::none();
    m.attr("PACKAGING_AVAILABLE") = py::bool_(packaging_available);
    m.attr("Requirement") =
        packaging_available ? optional_import("packaging.requirements", "Requirement") : py::object(py::none());
}

void register_caches(py::module_ &m) {
    m.attr("_installed_metadata") = py::module_::import("weakref").attr("WeakKeyDictionary")();
}

void register_patterns(py::module_ &m) {
    py::object re = py::module_::import("re");
    m.attr("_REQUIREMENT_PATTERN") = re.attr("compile")(R"(^([a-zA-Z0-9._-]+)(\[[^\]]+\])?(.*))");
    m.attr("_EXTRA_PATTERN") = re.attr("compile")(R"(extra\s*==\s*['"]([^'"]+)['"])");
    m.attr("_SEPARATOR_RUNS") = re.attr("compile")("[-_.]+");
}

void register_feedscout(py::module_ &m) {
    ClassBuilder cls("Feedscout", m);
    cls.attr("__doc__", py::str("Answers the package manager's questions about package indexes and installed "
                                "distributions."));
    add_settings_methods(cls);
    add_index_search_methods(cls);
    add_query_methods(cls);
    add_metadata_methods(cls);
    add_installed_methods(cls);
    m.attr("Feedscout") = cls.build();
}

}  // namespace

void register_default_index(py::module_ &m) {
    m.attr("_DEFAULT_INDEX_URL") = py::none();
    m.attr("_DEFAULT_API_INDEX_URL") = py::none();
    m.attr("_DEFAULT_API_PATTERN") = py::none();
    py::object pypi;
    try {
        pypi = py::module_::import("pip._internal.models.index").attr("PyPI");
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        log_warning("pip cannot be imported (" + error_text(e) +
                    "), so there is no default package index: configure package_management.pip.index_urls");
        return;
    }
    // pip writes its URLs with or without a trailing slash depending on the version.
    const std::string simple = normalize_url(py::str(pypi.attr("simple_url")).cast<std::string>());
    const std::string json_api = normalize_url(py::str(pypi.attr("pypi_url")).cast<std::string>());
    m.attr("_DEFAULT_INDEX_URL") = simple + "/";
    m.attr("_DEFAULT_API_INDEX_URL") = simple;
    m.attr("_DEFAULT_API_PATTERN") = json_api + "/{package_name}/{version}/json";
}

}  // namespace tarnlet::feedscout

PYBIND11_MODULE(feedscout, m) {
    using namespace tarnlet::feedscout;
    tarnlet::set_this_module(m);
    register_logger(m);
    register_optional_dependencies(m);
    register_patterns(m);
    register_caches(m);
    register_query_limit(m);
    register_placeholders(m);
    register_default_index(m);
    register_feedscout(m);
}
