// Feedscout's object, its shared HTTP session, the settings readers and the URL and name helpers.
#include <algorithm>

#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

const char *const INDEX_URLS_KEY = "package_management.pip.index_urls";
const char *const USE_SECONDARY_KEY = "package_management.pip.use_secondary_urls";
const char *const RETRIES_KEY = "package_management.pip.retries";
const char *const PIP_API_KEY = "package_management.pip_api";

// Fresh lists on every call: a caller (or a settings manager) may keep and change them.
py::list default_index_urls() {
    py::list urls;
    py::object url = module_global("_DEFAULT_INDEX_URL");
    if (!url.is_none()) {
        py::dict entry;
        entry["url"] = url;
        entry["primary"] = true;
        urls.append(entry);
    }
    return urls;
}

py::list default_pip_api() {
    py::list apis;
    py::object index_url = module_global("_DEFAULT_API_INDEX_URL");
    py::object pattern = module_global("_DEFAULT_API_PATTERN");
    if (!index_url.is_none() && !pattern.is_none()) {
        py::dict entry;
        entry["index_url"] = index_url;
        entry["api_pattern"] = pattern;
        apis.append(entry);
    }
    return apis;
}

void init(py::object self, py::object settings_manager) {
    self.attr("settings_manager") = settings_manager;
    self.attr("_session") = py::none();
    self.attr("_metadata_cache") = py::dict();
    self.attr("_distributions_cache") = py::none();
}

// Raises RuntimeError when awaited without aiohttp, as the Python coroutine would.
Coro get_session(py::object self) {
    py::object aiohttp = module_global("aiohttp");
    if (aiohttp.is_none()) {
        PyErr_SetString(PyExc_RuntimeError, "aiohttp not installed, cannot query package indexes");
        throw py::error_already_set();
    }
    py::object session = self.attr("_session");
    if (session.is_none() || session.attr("closed").cast<bool>()) {
        session = aiohttp.attr("ClientSession")();
        self.attr("_session") = session;
    }
    co_return session;
}

Coro close(py::object self) {
    py::object session = self.attr("_session");
    if (!session.is_none() && !session.attr("closed").cast<bool>()) {
        co_await session.attr("close")();
    }
    co_return py::none();
}

py::dict get_pip_settings(py::object self) {
    py::object manager = self.attr("settings_manager");
    py::dict settings;
    if (!py::bool_(manager)) {
        settings["index_urls"] = default_index_urls();
        settings["use_secondary_urls"] = false;
        settings["retries"] = 3;
        return settings;
    }
    py::object get = manager.attr("get");
    settings["index_urls"] = get(INDEX_URLS_KEY, default_index_urls());
    settings["use_secondary_urls"] = get(USE_SECONDARY_KEY, false);
    settings["retries"] = get(RETRIES_KEY, 3);
    return settings;
}

py::object get_pip_api_list(py::object self) {
    py::object manager = self.attr("settings_manager");
    if (!py::bool_(manager)) {
        return default_pip_api();
    }
    return manager.attr("get")(PIP_API_KEY, default_pip_api());
}

py::object get_api_pattern_for_index(py::object self, std::string index_url) {
    const std::string wanted = normalize_url(index_url);
    for (py::handle entry : self.attr("_get_pip_api_list")()) {
        if (!py::hasattr(entry, "get")) {
            continue;  // not a mapping: it cannot name an index
        }
        py::object candidate = entry.attr("get")("index_url", "");
        if (!py::isinstance<py::str>(candidate)) {
            continue;
        }
        if (normalize_url(candidate.cast<std::string>()) == wanted) {
            return entry.attr("get")("api_pattern");
        }
    }
    return py::none();
}

}  // namespace

std::string normalize_url(const std::string &url) {
    const auto end = url.find_last_not_of("/\\");
    return end == std::string::npos ? std::string() : url.substr(0, end + 1);
}

std::string normalize_name(const std::string &name) {
    const bool ascii =
        std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    // Non-ASCII names take Python's own lower(), which knows every script's case rules.
    const std::string lowered = ascii ? name : py::str(name).attr("lower")().cast<std::string>();
    std::string result;
    result.reserve(lowered.size());
    bool in_run = false;
    for (const char c : lowered) {
        if (c == '-' || c == '_' || c == '.') {
            if (!in_run) {
                result.push_back('-');
            }
            in_run = true;
            continue;
        }
        in_run = false;
        result.push_back(ascii && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return result;
}

IndexPlan plan_indexes(const py::object &self) {
    IndexPlan plan;
    plan.primary = py::none();
    py::object settings = self.attr("_get_pip_settings")();
    for (py::handle entry : settings["index_urls"]) {
        if (!py::hasattr(entry, "get")) {
            continue;
        }
        py::object url = entry.attr("get")("url");
        if (!py::isinstance<py::str>(url)) {
            continue;  // an entry without a URL names no index
        }
        if (py::bool_(entry.attr("get")("primary", false))) {
            plan.primary = url;  // several marked: the last one wins
        } else {
            plan.secondaries.append(url);
        }
    }
    plan.use_secondary_urls = py::bool_(settings["use_secondary_urls"]);
    return plan;
}

namespace {
void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}
}  // namespace

std::string package_api_url(std::string pattern, const std::string &package_name) {
    replace_all(pattern, "{package_name}", quote_url_part(package_name));
    replace_all(pattern, "/{version}", "");
    return pattern;
}

std::string version_api_url(std::string pattern, const std::string &package_name, const std::string &version) {
    replace_all(pattern, "{package_name}", quote_url_part(package_name));
    replace_all(pattern, "{version}", quote_url_part(version));
    return pattern;
}

Coro get_api_json(py::object self, std::string url) {
    py::object session = co_await self.attr("_get_session")();
    py::object timeout = module_global("aiohttp").attr("ClientTimeout")(py::arg("total") = query_timeout());
    py::object response = co_await session.attr("get")(url, py::arg("timeout") = timeout);
    const int status = response.attr("status").cast<int>();
    py::object body = py::none();
    std::exception_ptr failure;
    if (status == 200) {
        try {
            body = co_await response.attr("json")();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    response.attr("release")();  // back to the pool whether or not the body was read
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return py::make_tuple(status, body);
}

void add_settings_methods(ClassBuilder &cls) {
    cls.def_init(&init, py::arg("settings_manager"));
    cls.def("_get_session", &get_session);
    cls.def("close", &close);
    cls.def("_get_pip_settings", &get_pip_settings);
    cls.def("_get_pip_api_list", &get_pip_api_list);
    cls.def_static("_normalize_url", &normalize_url, py::arg("url"));
    cls.def("_get_api_pattern_for_index", &get_api_pattern_for_index, py::arg("index_url"));
    cls.def_static("_normalize_name", &normalize_name, py::arg("name"));
}

}  // namespace tarnlet::feedscout
