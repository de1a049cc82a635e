// The distributions installed in this interpreter, keyed by normalised name, with the
// standard-library modules entered as placeholders, and the check of a requirement against them.
#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

// Every .metadata of a real distribution parses its METADATA file, long description and
// all, which costs far more than the check itself. The table is built from one parse per
// distribution anyway, so the two fields the check reads are kept from it, weakly keyed by
// the distribution object: they live exactly as long as the table that holds it.
void remember_metadata(const py::object &snapshots, const py::handle &dist, const py::object &snapshot) {
    try {
        snapshots[dist] = snapshot;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        // not weakly referenceable: it is read afresh on each check
    }
}

py::object remembered_metadata(const py::handle &dist) {
    try {
        return module_global("_installed_metadata").attr("get")(dist);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        return py::none();
    }
}

py::object get_current_distributions(py::object self) {
    py::object cached = self.attr("_distributions_cache");
    if (!cached.is_none()) {
        return cached;
    }
    py::dict table;
    py::object normalize = self.attr("_normalize_name");
    py::object snapshots = module_global("_installed_metadata");
    for (py::handle dist : py::module_::import("importlib.metadata").attr("distributions")()) {
        py::object name;
        py::object snapshot;
        try {
            py::object metadata = dist.attr("metadata");
            name = metadata["Name"];
            snapshot = py::make_tuple(metadata.attr("get")("Version"), metadata.attr("get_all")("Requires-Dist"),
                                      metadata.attr("get_all")("Provides-Extra"));
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                throw;
            }
            continue;  // unreadable metadata: nothing to match against
        }
        if (!py::isinstance<py::str>(name)) {
            continue;  // a distribution without a name cannot satisfy a requirement
        }
        py::object key = normalize(name);
        if (table.contains(key)) {
            continue;  // shadowed: imports and importlib.metadata take the first on sys.path
        }
        table[key] = dist;
        remember_metadata(snapshots, dist, snapshot);
    }
    py::module_ sys = py::module_::import("sys");
    py::object names = py::getattr(sys, "stdlib_module_names", py::tuple());
    py::object py_version = sys.attr("version").attr("split")()[py::int_(0)];
    py::object dummy_dist = module_global("_dummy_dist");
    for (py::handle name : names) {
        py::object key = normalize(name);
        if (!table.contains(key)) {
            table[key] = dummy_dist(name, py_version);
        }
    }
    self.attr("_distributions_cache") = table;
    return table;
}

void clear_distributions_cache(py::object self) { self.attr("_distributions_cache") = py::none(); }

// The extras a distribution provides: those it declares and those its requirements' markers
// name, all in their normalised form.
py::set provided_extras(const py::object &requirements, const py::object &declared) {
    py::set provided;
    if (!requirements.is_none()) {
        for (py::handle requirement : requirements) {
            add_marker_extras(provided, requirement);
        }
    }
    add_declared_extras(provided, declared.is_none() ? py::list() : py::list(declared));
    return provided;
}

py::object check_specifier_in_dist(py::object self, py::object package_name, py::object version_spec_arg,
                                   py::object extras) {
    if (!py::bool_(module_global("PACKAGING_AVAILABLE"))) {
        log_debug("packaging library not available, cannot check distributions");
        return py::none();
    }
    py::object key;
    try {
        key = self.attr("_normalize_name")(package_name);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::none();  // not a name any distribution could have (not a str, lone surrogates)
    }
    py::object table = self.attr("_get_current_distributions")();
    py::object dist = table.attr("get")(key);
    if (dist.is_none()) {
        return py::none();
    }
    py::object metadata = py::none();
    py::object installed;
    py::object requirements;
    py::object declared_extras;
    py::object snapshot = remembered_metadata(dist);
    if (!snapshot.is_none()) {
        installed = snapshot[py::int_(0)];
        requirements = snapshot[py::int_(1)];
        declared_extras = snapshot[py::int_(2)];
    } else {
        metadata = dist.attr("metadata");  // read once: each access parses the file anew
        installed = metadata.attr("get")("Version");
    }
    if (installed.is_none() || !py::bool_(installed)) {
        return py::none();
    }
    // None is no specifier, like "".
    if (!version_spec_arg.is_none() && py::bool_(version_spec_arg)) {
        bool contained = false;
        try {
            py::object version = module_global("Version")(installed);
            contained = module_global("SpecifierSet")(version_spec_arg).contains(version);
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                throw;
            }
            log_debug("Error checking version spec for " + text_of(package_name) + ": " + error_text(e));
            return py::none();
        }
        if (!contained) {
            return py::none();
        }
    }
    if (!extras.is_none() && py::bool_(extras)) {
        if (!metadata.is_none()) {
            requirements = metadata.attr("get_all")("Requires-Dist");
            declared_extras = metadata.attr("get_all")("Provides-Extra");
        }
        const py::set provided = provided_extras(requirements, declared_extras);
        for (py::handle wanted : extras) {
            if (!py::isinstance<py::str>(wanted) || !provided.contains(normalize_extra(wanted))) {
                return py::none();
            }
        }
    }
    return installed;
}

}  // namespace

void register_placeholders(py::module_ &m) {
    py::object builtins = py::module_::import("builtins");

    ClassBuilder metadata("_dummy_metadata", m, {builtins.attr("dict")});
    metadata.attr("__doc__", py::str("Metadata of a standard-library module: a name and a version, no requirements."));
    metadata.def("get_all", [](py::object, py::args, py::kwargs) { return py::list(); });
    m.attr("_dummy_metadata") = metadata.build();

    ClassBuilder dist("_dummy_dist", m);
    dist.attr("__doc__", py::str("A standard-library module standing in for an installed distribution."));
    py::dict annotations;
    annotations["metadata"] =
        py::module_::import("typing").attr("Dict")[py::make_tuple(builtins.attr("str"), builtins.attr("str"))];
    dist.attr("__annotations__", annotations);
    dist.def_init(
        [](py::object self, py::object name, py::object version) {
            py::dict fields;
            fields["Name"] = name;
            fields["Version"] = version;
            self.attr("metadata") = module_global("_dummy_metadata")(fields);
        },
        py::arg("name"), py::arg("version"));
    m.attr("_dummy_dist") = dist.build();
}

void add_installed_methods(ClassBuilder &cls) {
    cls.def("_get_current_distributions", &get_current_distributions);
    cls.def("clear_distributions_cache", &clear_distributions_cache);
    cls.def("check_specifier_in_dist", &check_specifier_in_dist, py::arg("package_name"), py::arg("version_spec"),
            py::arg("extras") = py::none());
}

}  // namespace tarnlet::feedscout
