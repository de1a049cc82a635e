// The package-index client: one Python class, Feedscout, whose methods are spread over
// one file per concern. Each file adds its methods to the class builder; module_init
// assembles the class and the module-level names.
#pragma once

#include <optional>
#include <string>

#include "../common/coro.hpp"
#include "../common/helpers.hpp"
#include "../common/pyclass.hpp"

namespace tarnlet::feedscout {

// Session, settings readers and URL/name helpers.
void add_settings_methods(ClassBuilder &cls);
// find_repo_for_package(_version) and the existence checks.
void add_index_search_methods(ClassBuilder &cls);
// get_versions / get_extras / get_dependencies, their per-index workers and _parse_requirement.
void add_query_methods(ClassBuilder &cls);
// Metadata of a distribution found by unearth.
void add_metadata_methods(ClassBuilder &cls);
// Installed distributions and specifier checks.
void add_installed_methods(ClassBuilder &cls);

// QUERY_TIMEOUT and the context variable that carries a query's state to the worker thread.
void register_query_limit(py::module_ &m);
// _dummy_metadata and _dummy_dist, the standard-library placeholders.
void register_placeholders(py::module_ &m);
// The public index's URLs as the installed pip describes them (None without pip).
void register_default_index(py::module_ &m);

// --- helpers shared by the files above ---

// True for errors that `except Exception` would catch; CancelledError, KeyboardInterrupt
// and GeneratorExit must travel on.

// PEP 503 normalisation of a project name.
std::string normalize_name(const std::string &name);
// The URL without trailing "/" and "\" characters.
std::string normalize_url(const std::string &url);

// The configured indexes split as the search walks them: the primary (None when none is
// marked) and the others in configuration order.
struct IndexPlan {
    py::object primary;
    py::list secondaries;
    bool use_secondary_urls = false;
};
IndexPlan plan_indexes(const py::object &self);

// An API pattern filled for a package-level question ("/{version}" removed) or for one version.
std::string package_api_url(std::string pattern, const std::string &package_name);
std::string version_api_url(std::string pattern, const std::string &package_name, const std::string &version);

// GET `url` with the shared session and the 10-second total time-out. Resolves to
// (status, body) where body is the decoded JSON for status 200 and None otherwise.
Coro get_api_json(py::object self, std::string url);

// A PackageFinder for one index, built through the module's current `PackageFinder`, and the
// HTTP client it owns; close() releases that client (unearth would otherwise keep one alive
// per finder until the interpreter exits).
class IndexFinder {
public:
    explicit IndexFinder(const std::string &index_url);
    ~IndexFinder();
    IndexFinder(const IndexFinder &) = delete;
    IndexFinder &operator=(const IndexFinder &) = delete;
    const py::object &finder() const { return finder_; }

private:
    py::object finder_;
    py::object client_;
};

// PEP 685 form of an extra's name (a str).
py::object normalize_extra(const py::handle &extra);
// Every extra a Requires-Dist string's marker names (`extra == 'name'`), normalised, added to `extras`.
void add_marker_extras(py::set &extras, const py::handle &requirement);
// Each string of `declared` (a Provides-Extra list; anything else counts as none), normalised,
// added to `extras`.
void add_declared_extras(py::set &extras, const py::handle &declared);

// Why a distribution's metadata cannot state its dependencies (empty when it can): it
// predates Requires-Dist, or it declares them dynamic.
std::string dependencies_unknown_reason(const py::object &metadata);

// --- what may be asked (request_checks.cpp) ---

// The name when it is a distribution name, else nullopt after one warning line.
std::optional<std::string> checked_name(const py::handle &name);
// The version when it is a version (PEP 440 where packaging is there), else nullopt after
// one warning line.
std::optional<std::string> checked_version(const std::string &name, const py::handle &version);
// Percent-encoding of everything but the unreserved URL characters.
std::string quote_url_part(const std::string &part);

// --- the total time limit of a query (query_limit.cpp) ---

// The module's QUERY_TIMEOUT (seconds), as it is now.
py::object query_timeout();
// A fresh state for one query: its deadline and whether its dependencies are complete.
py::object new_query_state();
// The state of the query this thread works for, or None outside a limited query.
py::object current_query_state();
// True once the deadline of `state` (a query state, or None for none) has passed.
bool query_expired(const py::object &state);
// True in a worker thread whose query has run out of time: whatever failed there is the
// time limit's doing, and the awaiting query reports it.
bool past_query_deadline();
// asyncio.wait_for(loop.run_in_executor(None, self.<method>, *args), time left): blocking
// finder work never runs on the loop, and the method runs with `state` as its query state.
py::object limited_in_executor(const py::object &self, const char *method, const py::tuple &args,
                               const py::object &state);
// True for asyncio's or the builtin TimeoutError.
bool is_timeout(const py::error_already_set &error);
// The text that stands for a query's time-out in log lines.
std::string timeout_text();
// Event hooks for the finder's HTTP client that hold it to the query's deadline.
py::dict deadline_hooks();

}  // namespace tarnlet::feedscout
