// The package-index client: one Python class, Feedscout, whose methods are spread over
// one file per concern. Each file adds its methods to the class builder; module_init
// assembles the class and the module-level names.
#pragma once

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

// asyncio.get_event_loop().run_in_executor(None, self.<method>, *args): blocking finder
// work never runs on the loop.
py::object run_method_in_executor(const py::object &self, const char *method, const py::tuple &args);

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

// The extra name a Requires-Dist string declares (`extra == 'name'`), or None.
py::object extra_name_of(const py::handle &requirement);

}  // namespace tarnlet::feedscout
