// Versions, extras and dependencies of a package: per index through its JSON API pattern or
// unearth, and across the configured indexes (primary first, first non-empty answer wins).
#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

std::string count_of(const py::handle &items) { return std::to_string(py::len(items)); }

// --- what each query does with an API answer ---

// Whether a release's file list offers anything to install: a release without files, or
// with every file yanked, does not (pip leaves both out). A list in a form we do not know
// is kept.
bool installable(const py::handle &files) {
    if (files.is_none()) {
        return false;
    }
    if (!py::isinstance<py::list>(files)) {
        return true;
    }
    for (py::handle file : files) {
        if (!py::isinstance<py::dict>(file) || !py::bool_(file.attr("get")("yanked", false))) {
            return true;
        }
    }
    return false;
}

py::list release_versions(const py::object &releases) {
    if (releases.is_none()) {
        return py::list();
    }
    if (!py::isinstance<py::dict>(releases)) {
        return py::list(releases);
    }
    py::list versions;
    for (auto item : py::reinterpret_borrow<py::dict>(releases)) {
        if (installable(item.second)) {
            versions.append(item.first);
        }
    }
    return versions;
}

py::object versions_from_api(py::object, py::object data, const std::string &name, const std::string &) {
    py::list versions = release_versions(data.attr("get")("releases", py::dict()));
    py::object builtins = py::module_::import("builtins");
    py::object sorted_versions;
    if (py::bool_(module_global("PACKAGING_AVAILABLE"))) {
        py::object version_class = module_global("Version");
        py::dict parsed;  // each string parsed once, for the check and for the sort
        for (py::handle candidate : versions) {
            try {
                parsed[candidate] = version_class(candidate);
            } catch (py::error_already_set &e) {
                if (!is_ordinary(e)) {
                    throw;
                }
                // not a version: dropped without a word
            }
        }
        sorted_versions =
            builtins.attr("sorted")(parsed, py::arg("key") = parsed.attr("__getitem__"), py::arg("reverse") = true);
    } else {
        sorted_versions = builtins.attr("sorted")(versions, py::arg("reverse") = true);
    }
    log_debug("Found " + count_of(sorted_versions) + " versions via API for " + name);
    return sorted_versions;
}

py::object info_field(const py::object &data, const char *field) {
    py::object info = data.attr("get")("info");
    if (info.is_none()) {
        return py::list();
    }
    py::object value = info.attr("get")(field);
    return value.is_none() ? py::list() : value;
}

py::object requires_dist_of(const py::object &data) { return info_field(data, "requires_dist"); }

py::object extras_from_api(py::object, py::object data, const std::string &name, const std::string &) {
    py::set extras;
    for (py::handle requirement : requires_dist_of(data)) {
        add_marker_extras(extras, requirement);
    }
    add_declared_extras(extras, info_field(data, "provides_extra"));
    log_debug("Found " + count_of(extras) + " extras via API for " + name);
    return extras;
}

py::object dependencies_from_api(py::object self, py::object data, const std::string &name,
                                 const std::string &version) {
    py::list dependencies;
    py::object parse = self.attr("_parse_requirement");
    for (py::handle requirement : requires_dist_of(data)) {
        py::object record = parse(requirement);
        if (!record.is_none()) {
            dependencies.append(record);
        }
    }
    log_debug("Found " + count_of(dependencies) + " dependencies for " + name + "==" + version);
    return dependencies;
}

// One per-index worker: which URL, what to read from the answer, which unearth variant.
enum class Kind { versions, extras, dependencies };

struct Worker {
    Kind kind;
    bool version_level;
    py::object (*from_api)(py::object self, py::object data, const std::string &name, const std::string &version);
    const char *unearth_method;
    bool returns_set;
    bool caches_unearth_results;
};

const Worker VERSIONS_WORKER{Kind::versions, false, &versions_from_api, "_get_versions_via_unearth", false, false};
const Worker EXTRAS_WORKER{Kind::extras, true, &extras_from_api, "_get_extras_via_unearth", true, false};
const Worker DEPENDENCIES_WORKER{
    Kind::dependencies, true, &dependencies_from_api, "_get_dependencies_via_unearth", false, true};

py::object empty_result(const Worker &worker) { return worker.returns_set ? py::object(py::set()) : py::list(); }

std::string unearth_failure_line(const Worker &worker, const std::string &name, const std::string &version,
                                 const std::string &index_url, const std::string &error) {
    if (worker.kind == Kind::versions) {
        return "Unearth failed for " + name + " at " + index_url + ": " + error;
    }
    const char *what = worker.kind == Kind::extras ? "extras " : "dependencies ";
    return "Unearth failed for " + std::string(what) + name + "==" + version + ": " + error;
}

enum class Failure { none, timeout, other };

Coro run_worker(py::object self, Worker worker, py::object name_arg, py::object version_arg, std::string index_url) {
    const std::optional<std::string> checked = checked_name(name_arg);
    const std::optional<std::string> checked_v = !checked               ? std::nullopt
                                                 : worker.version_level ? checked_version(*checked, version_arg)
                                                                        : std::string();
    if (!checked_v) {
        co_return empty_result(worker);
    }
    const std::string name = *checked;
    const std::string version = *checked_v;
    py::object cache_key;
    if (worker.caches_unearth_results) {
        cache_key = py::make_tuple(py::str(name).attr("lower")(), version);
        py::object cache = self.attr("_metadata_cache");
        if (cache.contains(cache_key)) {
            co_return py::object(cache[cache_key]);
        }
    }
    Failure failure = Failure::none;
    std::string failure_text;
    try {
        py::object pattern = self.attr("_get_api_pattern_for_index")(index_url);
        if (!pattern.is_none()) {
            const std::string url = worker.version_level ? version_api_url(pattern.cast<std::string>(), name, version)
                                                         : package_api_url(pattern.cast<std::string>(), name);
            py::object answer = co_await get_api_json(self, url);
            const int status = answer[py::int_(0)].cast<int>();
            if (status == 404) {
                log_debug("Package " + name + " not found at " + index_url);
                co_return empty_result(worker);
            }
            if (status != 200) {
                log_error("API returned status " + std::to_string(status) + " for " + url);
                co_return empty_result(worker);
            }
            co_return worker.from_api(self, answer[py::int_(1)], name, version);
        }
        if (!py::bool_(module_global("UNEARTH_AVAILABLE"))) {
            log_debug("No API pattern and unearth not available for " + index_url);
            co_return empty_result(worker);
        }
        const py::tuple args = worker.version_level ? py::tuple(py::make_tuple(name, version, index_url))
                                                    : py::tuple(py::make_tuple(name, index_url));
        py::object state = new_query_state();
        py::object result;
        bool unearth_failed = false;
        bool timed_out = false;
        try {
            result = co_await limited_in_executor(self, worker.unearth_method, args, state);
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                throw;
            }
            // Whatever failed once the time was up failed for want of time.
            timed_out = is_timeout(e) || query_expired(state);
            unearth_failed = !timed_out;
            if (unearth_failed) {
                log_error(unearth_failure_line(worker, name, version, index_url, error_text(e)));
            }
        }
        if (timed_out) {
            log_error("Timeout querying " + index_url + " for " + name);
        }
        if (unearth_failed || timed_out) {
            co_return empty_result(worker);
        }
        // An empty answer is not kept: it may only mean "not on this index", and the next
        // index of the search must still be asked. Nor is one the distribution could not state.
        if (worker.caches_unearth_results && py::len(result) > 0 && py::bool_(state["dependencies_known"])) {
            self.attr("_metadata_cache")[cache_key] = result;
        }
        co_return result;
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        failure = is_timeout(e) ? Failure::timeout : Failure::other;
        failure_text = error_text(e);
    } catch (const std::exception &e) {
        failure = Failure::other;
        failure_text = e.what();
    }
    if (failure == Failure::timeout) {
        log_error("Timeout querying " + index_url + " for " + name);
    } else {
        log_error("Failed to query " + index_url + " for " + name + ": " + failure_text);
    }
    co_return empty_result(worker);
}

Coro get_versions_from_index(py::object self, py::object package_name, std::string index_url) {
    co_return co_await run_worker(self, VERSIONS_WORKER, package_name, py::none(), index_url);
}

Coro get_extras_from_index(py::object self, py::object package_name, py::object version, std::string index_url) {
    co_return co_await run_worker(self, EXTRAS_WORKER, package_name, version, index_url);
}

Coro get_dependencies_from_index(py::object self, py::object package_name, py::object version, std::string index_url) {
    co_return co_await run_worker(self, DEPENDENCIES_WORKER, package_name, version, index_url);
}

// --- the public queries: one index, or the configured ones in search order ---

struct Query {
    const char *worker_method;
    const char *kind;           // "versions", "extras", "dependencies"
    const char *no_results;     // start of the line before the secondaries
    const char *nothing_level;  // level of the final "No ... found" line
    bool version_level;
    bool sort_result;
};

const Query VERSIONS_QUERY{
    "_get_versions_from_index", "versions", "No results in primary, trying ", "warning", false, false};
const Query EXTRAS_QUERY{"_get_extras_from_index", "extras", "No extras in primary, trying ", "info", true, true};
const Query DEPENDENCIES_QUERY{
    "_get_dependencies_from_index", "dependencies", "No dependencies in primary, trying ", "debug", true, false};

std::string querying_primary_line(const Query &query, const std::string &name) {
    if (!query.version_level) {
        return "Querying primary index for " + name + " versions";
    }
    return "Querying primary index for " + std::string(query.kind) + ": " + name;
}

py::object finish(const Query &query, py::object result) {
    if (!query.sort_result) {
        return result;
    }
    return py::module_::import("builtins").attr("sorted")(result);
}

Coro run_query(py::object self, Query query, py::object name_arg, py::object version_arg, py::object index_url) {
    const std::optional<std::string> checked = checked_name(name_arg);
    const std::optional<std::string> checked_v = !checked              ? std::nullopt
                                                 : query.version_level ? checked_version(*checked, version_arg)
                                                                       : std::string();
    if (!checked_v) {
        co_return py::list();
    }
    const std::string name = *checked;
    const std::string version = *checked_v;
    py::object worker = self.attr(query.worker_method);
    auto ask = [&](const py::object &url) {
        return query.version_level ? worker(name, version, url) : worker(name, url);
    };
    if (py::bool_(index_url)) {
        co_return finish(query, co_await ask(index_url));
    }
    IndexPlan plan = plan_indexes(self);
    if (!plan.primary.is_none()) {
        log_info(querying_primary_line(query, name));
        py::object result = co_await ask(plan.primary);
        if (py::len(result) > 0) {
            log_info("Found " + count_of(result) + " " + query.kind + " in primary index");
            co_return finish(query, result);
        }
    }
    if (plan.use_secondary_urls && py::len(plan.secondaries) > 0) {
        log_info(query.no_results + count_of(plan.secondaries) + " secondary indexes");
        for (py::handle url : plan.secondaries) {
            log_info("Querying secondary index: " + text_of(url));
            py::object result = co_await ask(py::reinterpret_borrow<py::object>(url));
            if (py::len(result) > 0) {
                log_info("Found " + count_of(result) + " " + query.kind + " in secondary index");
                co_return finish(query, result);
            }
        }
    }
    log(query.nothing_level, "No " + std::string(query.kind) + " found for " + name + " in any index");
    co_return py::list();
}

Coro get_versions(py::object self, py::object package_name, py::object index_url) {
    co_return co_await run_query(self, VERSIONS_QUERY, package_name, py::none(), index_url);
}

Coro get_extras(py::object self, py::object package_name, py::object version, py::object index_url) {
    co_return co_await run_query(self, EXTRAS_QUERY, package_name, version, index_url);
}

Coro get_dependencies(py::object self, py::object package_name, py::object version, py::object index_url) {
    co_return co_await run_query(self, DEPENDENCIES_QUERY, package_name, version, index_url);
}

// --- blocking unearth variants, run in the default executor ---

// Ordinary errors are the variants' to log, except once the query's time is up: then the
// awaiting query reports the time-out and the thread's own failure is not news.
bool rethrow_from_variant(const py::error_already_set &e) { return !is_ordinary(e) || past_query_deadline(); }

py::list get_versions_via_unearth(py::object, py::object package_name, std::string index_url) {
    const std::optional<std::string> name = checked_name(package_name);
    if (!name) {
        return py::list();
    }
    try {
        IndexFinder finder(index_url);
        py::dict seen;  // insertion-ordered set of version strings
        for (py::handle package : finder.finder().attr("find_all_packages")(*name)) {
            seen[py::str(package.attr("version"))] = py::none();
        }
        py::list versions(seen);
        py::object builtins = py::module_::import("builtins");
        try {
            py::object version_class = py::module_::import("packaging.version").attr("Version");
            return builtins.attr("sorted")(versions, py::arg("key") = version_class, py::arg("reverse") = true);
        } catch (py::error_already_set &e) {
            if (!is_ordinary(e)) {
                throw;
            }
            // an invalid version string, or no packaging: plain text order
        }
        return builtins.attr("sorted")(versions, py::arg("reverse") = true);
    } catch (py::error_already_set &e) {
        if (rethrow_from_variant(e)) {
            throw;
        }
        log_error("Unearth _get_versions failed: " + error_text(e));
    }
    return py::list();
}

// What the best candidate for name==version declares: its Requires-Dist and Provides-Extra
// values (empty lists when there is no candidate), and, when its metadata cannot state its
// dependencies, why not.
struct DeclaredMetadata {
    py::list requirements;
    py::list provides;
    std::string dependencies_unknown;
};

py::list all_values(const py::object &metadata, const char *field) {
    py::object all = metadata.attr("get_all")(field);
    return all.is_none() ? py::list() : py::list(all);
}

DeclaredMetadata declared_via_unearth(const py::object &self, const std::string &name, const std::string &version,
                                      const std::string &index_url) {
    IndexFinder finder(index_url);
    py::object match = finder.finder().attr("find_best_match")(name + "==" + version);
    DeclaredMetadata declared;
    if (match.is_none()) {
        return declared;
    }
    py::object best = match.attr("best");
    if (best.is_none() || best.attr("link").is_none()) {
        return declared;
    }
    py::object metadata = self.attr("_get_metadata")(finder.finder(), best.attr("link"));
    declared.requirements = all_values(metadata, "Requires-Dist");
    declared.provides = all_values(metadata, "Provides-Extra");
    declared.dependencies_unknown = dependencies_unknown_reason(metadata);
    return declared;
}

py::set get_extras_via_unearth(py::object self, py::object package_name, py::object version, std::string index_url) {
    const std::optional<std::string> name = checked_name(package_name);
    const std::optional<std::string> checked_v = name ? checked_version(*name, version) : std::nullopt;
    if (!checked_v) {
        return py::set();
    }
    py::set extras;
    try {
        const DeclaredMetadata declared = declared_via_unearth(self, *name, *checked_v, index_url);
        for (py::handle requirement : declared.requirements) {
            add_marker_extras(extras, requirement);
        }
        add_declared_extras(extras, declared.provides);
        return extras;
    } catch (py::error_already_set &e) {
        if (rethrow_from_variant(e)) {
            throw;
        }
        log_debug("Unearth get_extras failed: " + error_text(e));
    }
    return py::set();
}

py::list get_dependencies_via_unearth(py::object self, py::object package_name, py::object version,
                                      std::string index_url) {
    const std::optional<std::string> name = checked_name(package_name);
    const std::optional<std::string> checked_v = name ? checked_version(*name, version) : std::nullopt;
    if (!checked_v) {
        return py::list();
    }
    py::list dependencies;
    try {
        const DeclaredMetadata declared = declared_via_unearth(self, *name, *checked_v, index_url);
        py::object parse = self.attr("_parse_requirement");
        for (py::handle requirement : declared.requirements) {
            py::object record = parse(requirement);
            if (!record.is_none()) {
                dependencies.append(record);
            }
        }
        if (!declared.dependencies_unknown.empty()) {
            // Not "no dependencies": nobody can tell without building the distribution.
            log_warning("Dependencies of " + *name + "==" + *checked_v +
                        " are unknown: " + declared.dependencies_unknown);
            py::object state = current_query_state();
            if (!state.is_none()) {
                state["dependencies_known"] = false;
            }
        }
        return dependencies;
    } catch (py::error_already_set &e) {
        if (rethrow_from_variant(e)) {
            throw;
        }
        log_debug("Unearth get_dependencies failed: " + error_text(e));
    }
    return py::list();
}

// True when packaging accepts `text` as a specifier set as it is written.
bool is_specifier_set(const py::object &text) {
    try {
        module_global("SpecifierSet")(text);
        return true;
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return false;
    }
}

// The requirement's specifier as it is written, without the parentheses of the old
// "name (>=1.0)" form.
py::object textual_specifier(const py::object &rest) {
    if (py::len(rest) >= 2 && py::bool_(rest.attr("startswith")("(")) && py::bool_(rest.attr("endswith")(")"))) {
        return rest[py::slice(1, -1, 1)].attr("strip")();
    }
    return rest;
}

// packaging's reading of the requirement, or None when it is not there or cannot read it.
py::object packaging_requirement(const py::object &requirement) {
    py::object requirement_class = module_global("Requirement");
    if (requirement_class.is_none() || !py::bool_(module_global("PACKAGING_AVAILABLE"))) {
        return py::none();
    }
    try {
        return requirement_class(requirement);
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return py::none();
    }
}

py::object parse_requirement(py::object, py::object req) {
    if (!py::isinstance<py::str>(req)) {
        log_warning("Could not parse requirement: " + text_of(req));
        return py::none();
    }
    py::tuple parts = req.attr("partition")(";");
    py::object requirement = parts[0].attr("strip")();
    py::object markers = py::bool_(parts[1]) ? parts[2].attr("strip")() : py::str("");
    py::object match = module_global("_REQUIREMENT_PATTERN").attr("match")(requirement);
    if (match.is_none()) {
        log_warning("Could not parse requirement: " + text_of(requirement));
        return py::none();
    }
    py::object extras_text = match.attr("group")(2);
    py::list extras;
    if (!extras_text.is_none() && py::bool_(extras_text)) {
        for (py::handle part : extras_text.attr("strip")("[]").attr("split")(",")) {
            extras.append(part.attr("strip")());
        }
    }
    py::object rest = match.attr("group")(3).attr("strip")();
    py::object version_spec = textual_specifier(rest);
    py::object parsed = packaging_requirement(requirement);
    if (!parsed.is_none() && parsed.attr("url").is_none()) {
        // Written as packaging reads it where that is valid; otherwise packaging's own
        // reading, which also copes with "name [extra] >=1".
        if (!is_specifier_set(version_spec)) {
            version_spec = py::str(parsed.attr("specifier"));
        }
        if (py::len(extras) == 0 && py::len(parsed.attr("extras")) > 0) {
            extras = py::module_::import("builtins").attr("sorted")(parsed.attr("extras"));
        }
    }
    py::dict record;
    record["name"] = match.attr("group")(1);
    record["version_spec"] = version_spec;
    record["extras"] = extras;
    record["markers"] = markers;
    return record;
}

}  // namespace

py::object normalize_extra(const py::handle &extra) {
    return module_global("_SEPARATOR_RUNS").attr("sub")("-", extra).attr("lower")();
}

void add_marker_extras(py::set &extras, const py::handle &requirement) {
    if (!py::isinstance<py::str>(requirement) || !py::reinterpret_borrow<py::str>(requirement).contains("extra ==")) {
        return;
    }
    for (py::handle extra : module_global("_EXTRA_PATTERN").attr("findall")(requirement)) {
        extras.add(normalize_extra(extra));
    }
}

void add_declared_extras(py::set &extras, const py::handle &declared) {
    if (!py::isinstance<py::list>(declared) && !py::isinstance<py::tuple>(declared)) {
        return;
    }
    for (py::handle extra : declared) {
        if (py::isinstance<py::str>(extra)) {
            py::object name = extra.attr("strip")();
            if (py::bool_(name)) {
                extras.add(normalize_extra(name));
            }
        }
    }
}

void add_query_methods(ClassBuilder &cls) {
    cls.def("get_versions", &get_versions, py::arg("package_name"), py::arg("index_url") = py::none());
    cls.def("get_extras", &get_extras, py::arg("package_name"), py::arg("version"), py::arg("index_url") = py::none());
    cls.def("get_dependencies", &get_dependencies, py::arg("package_name"), py::arg("version"),
            py::arg("index_url") = py::none());
    cls.def("_get_versions_from_index", &get_versions_from_index, py::arg("package_name"), py::arg("index_url"));
    cls.def("_get_extras_from_index", &get_extras_from_index, py::arg("package_name"), py::arg("version"),
            py::arg("index_url"));
    cls.def("_get_dependencies_from_index", &get_dependencies_from_index, py::arg("package_name"), py::arg("version"),
            py::arg("index_url"));
    cls.def("_get_versions_via_unearth", &get_versions_via_unearth, py::arg("package_name"), py::arg("index_url"));
    cls.def("_get_extras_via_unearth", &get_extras_via_unearth, py::arg("package_name"), py::arg("version"),
            py::arg("index_url"));
    cls.def("_get_dependencies_via_unearth", &get_dependencies_via_unearth, py::arg("package_name"), py::arg("version"),
            py::arg("index_url"));
    cls.def("_parse_requirement", &parse_requirement, py::arg("req"));
}

}  // namespace tarnlet::feedscout
