// Which configured index has a package (or one version of it): the primary first, the
// secondaries only when enabled, the first index that answers yes wins.
#include <optional>

#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

// Text of the ordinary error that escaped a check; CancelledError and friends are rethrown.
std::string failure_text(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        const std::string text = error_text(e);
        return text.empty() && is_timeout(e) ? timeout_text() : text;
    } catch (const std::exception &e) {
        return e.what();
    }
}

// GET url and report whether the index answered 200; the body is not read.
Coro answers_ok(py::object self, std::string url) {
    py::object session = co_await self.attr("_get_session")();
    py::object timeout = module_global("aiohttp").attr("ClientTimeout")(py::arg("total") = query_timeout());
    py::object response = co_await session.attr("get")(url, py::arg("timeout") = timeout);
    const bool ok = response.attr("status").cast<int>() == 200;
    response.attr("release")();
    co_return py::bool_(ok);
}

// The walk shared by both searches: `check(url)` is awaited per index.
Coro search(py::object self, py::object check) {
    IndexPlan plan = plan_indexes(self);
    if (!plan.primary.is_none() && py::bool_(co_await check(plan.primary))) {
        co_return plan.primary;
    }
    if (plan.use_secondary_urls) {
        for (py::handle url : plan.secondaries) {
            py::object candidate = py::reinterpret_borrow<py::object>(url);
            if (py::bool_(co_await check(candidate))) {
                co_return candidate;
            }
        }
    }
    co_return py::none();
}

Coro find_repo_for_package(py::object self, py::object package_name) {
    if (!checked_name(package_name)) {
        co_return py::none();
    }
    py::object check = self.attr("_package_exists_in_index");
    py::object functools = py::module_::import("functools");
    co_return co_await search(self, functools.attr("partial")(check, package_name));
}

Coro find_repo_for_package_version(py::object self, py::object package_name, py::object version) {
    const std::optional<std::string> name = checked_name(package_name);
    if (!name || !checked_version(*name, version)) {
        co_return py::none();
    }
    py::object check = self.attr("_package_version_exists_in_index");
    py::object functools = py::module_::import("functools");
    co_return co_await search(self, functools.attr("partial")(check, package_name, version));
}

Coro package_exists_in_index(py::object self, py::object package_name, std::string index_url) {
    const std::optional<std::string> checked = checked_name(package_name);
    if (!checked) {
        co_return py::bool_(false);
    }
    const std::string name = *checked;
    py::object pattern = self.attr("_get_api_pattern_for_index")(index_url);
    std::exception_ptr failure;
    if (!pattern.is_none()) {
        try {
            const std::string url = package_api_url(pattern.cast<std::string>(), name);
            py::object ok = co_await answers_ok(self, url);
            co_return ok;
        } catch (...) {
            failure = std::current_exception();
        }
        log_debug("API check failed for " + name + " at " + index_url + ": " + failure_text(failure));
        co_return py::bool_(false);
    }
    if (!py::bool_(module_global("UNEARTH_AVAILABLE"))) {
        log_debug("No API pattern and unearth not available for " + index_url);
        co_return py::bool_(false);
    }
    try {
        py::object found = co_await limited_in_executor(self, "_package_exists_via_unearth",
                                                        py::make_tuple(name, index_url), new_query_state());
        co_return py::bool_(py::bool_(found));
    } catch (...) {
        failure = std::current_exception();
    }
    log_debug("Unearth check failed for " + name + " at " + index_url + ": " + failure_text(failure));
    co_return py::bool_(false);
}

Coro package_version_exists_in_index(py::object self, py::object package_name, py::object version_arg,
                                     std::string index_url) {
    const std::optional<std::string> checked = checked_name(package_name);
    const std::optional<std::string> checked_v = checked ? checked_version(*checked, version_arg) : std::nullopt;
    if (!checked_v) {
        co_return py::bool_(false);
    }
    const std::string name = *checked;
    const std::string version = *checked_v;
    py::object pattern = self.attr("_get_api_pattern_for_index")(index_url);
    std::exception_ptr failure;
    if (!pattern.is_none()) {
        try {
            const std::string url = version_api_url(pattern.cast<std::string>(), name, version);
            py::object ok = co_await answers_ok(self, url);
            co_return ok;
        } catch (...) {
            failure = std::current_exception();
        }
        log_debug("API check failed for " + name + "==" + version + " at " + index_url + ": " + failure_text(failure));
        co_return py::bool_(false);
    }
    if (!py::bool_(module_global("UNEARTH_AVAILABLE"))) {
        co_return py::bool_(false);
    }
    try {
        py::object found = co_await limited_in_executor(self, "_package_version_exists_via_unearth",
                                                        py::make_tuple(name, version, index_url), new_query_state());
        co_return py::bool_(py::bool_(found));
    } catch (...) {
        failure = std::current_exception();
    }
    log_debug("Unearth check failed for " + name + "==" + version + " at " + index_url + ": " + failure_text(failure));
    co_return py::bool_(false);
}

// Blocking: does the index list any candidate of the package? Errors go to the caller.
bool package_exists_via_unearth(py::object, py::object package_name, std::string index_url) {
    const std::optional<std::string> name = checked_name(package_name);
    if (!name) {
        return false;
    }
    IndexFinder finder(index_url);
    py::object packages = finder.finder().attr("find_all_packages")(*name);
    py::iterator it = py::iter(packages);
    return it != py::iterator::sentinel();
}

// Blocking: is there a usable candidate for name==version? Any failure counts as no.
bool package_version_exists_via_unearth(py::object, py::object package_name, py::object version,
                                        std::string index_url) {
    const std::optional<std::string> name = checked_name(package_name);
    const std::optional<std::string> checked_v = name ? checked_version(*name, version) : std::nullopt;
    if (!checked_v) {
        return false;
    }
    try {
        IndexFinder finder(index_url);
        py::object match = finder.finder().attr("find_best_match")(*name + "==" + *checked_v);
        return !match.is_none() && !match.attr("best").is_none();
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e) || past_query_deadline()) {
            throw;
        }
    } catch (const std::exception &) {
    }
    return false;
}

}  // namespace

void add_index_search_methods(ClassBuilder &cls) {
    cls.def("find_repo_for_package", &find_repo_for_package, py::arg("package_name"));
    cls.def("find_repo_for_package_version", &find_repo_for_package_version, py::arg("package_name"),
            py::arg("version"));
    cls.def("_package_exists_in_index", &package_exists_in_index, py::arg("package_name"), py::arg("index_url"));
    cls.def("_package_version_exists_in_index", &package_version_exists_in_index, py::arg("package_name"),
            py::arg("version"), py::arg("index_url"));
    cls.def("_package_exists_via_unearth", &package_exists_via_unearth, py::arg("package_name"), py::arg("index_url"));
    cls.def("_package_version_exists_via_unearth", &package_version_exists_via_unearth, py::arg("package_name"),
            py::arg("version"), py::arg("index_url"));
}

}  // namespace tarnlet::feedscout
