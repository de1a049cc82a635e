// unearth glue: one finder per index with an HTTP client we own, and the core metadata of a
// found distribution. unearth finds candidates but does not read their metadata, so we take
// the index's metadata file where the page announces one (PEP 658) and otherwise read it
// from the downloaded distribution. All of this is blocking and runs in the executor.
#include <utility>

#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

// The host of a plain-HTTP index: unearth ignores insecure origins that are not trusted,
// and an index in the settings is one the administrator chose to use.
py::list trusted_hosts_for(const std::string &index_url) {
    py::list hosts;
    py::object parts = py::module_::import("urllib.parse").attr("urlsplit")(index_url);
    if (py::str(parts.attr("scheme")).cast<std::string>() == "http") {
        py::object netloc = parts.attr("netloc").attr("rpartition")("@")[py::int_(2)];
        if (py::bool_(netloc)) {
            hosts.append(netloc);
        }
    }
    return hosts;
}

// Raised as a Python error so the callers' `except Exception` handling sees it as such.
[[noreturn]] void raise_value_error(const std::string &text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
    throw py::error_already_set();
}

void close_quietly(const py::object &client) {
    if (client.is_none()) {
        return;
    }
    try {
        client.attr("close")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("feedscout: closing an index client");
    }
}

py::object parse_metadata_bytes(const py::object &content) {
    py::object text = content.attr("decode")("utf-8", "replace");
    return py::module_::import("email").attr("message_from_string")(text);
}

// The metadata file announced next to the link, checked against its announced hash.
py::object metadata_from_file(const py::object &finder, const py::object &link) {
    py::object dist_link = py::getattr(link, "dist_info_link", py::none());
    if (dist_link.is_none()) {
        return py::none();
    }
    py::object response = finder.attr("session").attr("get")(dist_link.attr("normalized"));
    response.attr("raise_for_status")();
    py::object content = response.attr("content");
    py::object announced = py::getattr(link, "dist_info_metadata", py::none());
    if (py::isinstance<py::dict>(announced)) {
        py::object hashlib = py::module_::import("hashlib");
        for (auto item : py::reinterpret_borrow<py::dict>(announced)) {
            py::object digest = hashlib.attr("new")(item.first, content).attr("hexdigest")();
            if (!digest.equal(item.second)) {
                raise_value_error("the metadata file does not match its " + text_of(item.first) + " hash");
            }
        }
    }
    return parse_metadata_bytes(content);
}

// METADATA of a wheel, or PKG-INFO of an unpacked source distribution.
py::object metadata_from_artifact(const py::object &path) {
    py::object zipfile = py::module_::import("zipfile");
    if (py::bool_(path.attr("is_file")()) && py::bool_(zipfile.attr("is_zipfile")(path))) {
        py::object archive = zipfile.attr("ZipFile")(path);
        py::object found = py::none();
        try {
            for (py::handle name : archive.attr("namelist")()) {
                const std::string entry = name.cast<std::string>();
                const auto slash = entry.find('/');
                if (slash != std::string::npos && entry.find('/', slash + 1) == std::string::npos &&
                    entry.compare(slash, std::string::npos, "/METADATA") == 0 && slash >= 10 &&
                    entry.compare(slash - 10, 10, ".dist-info") == 0) {
                    found = parse_metadata_bytes(archive.attr("read")(name));
                    break;
                }
            }
        } catch (...) {
            archive.attr("close")();
            throw;
        }
        archive.attr("close")();
        if (found.is_none()) {
            raise_value_error("no .dist-info/METADATA in " + text_of(path.attr("name")));
        }
        return found;
    }
    if (py::bool_(path.attr("is_dir")())) {
        py::object direct = path.attr("joinpath")("PKG-INFO");
        if (py::bool_(direct.attr("is_file")())) {
            return parse_metadata_bytes(direct.attr("read_bytes")());
        }
        py::object nested = py::module_::import("builtins").attr("sorted")(path.attr("glob")("*/PKG-INFO"));
        if (py::len(nested) > 0) {
            return parse_metadata_bytes(nested[py::int_(0)].attr("read_bytes")());
        }
    }
    raise_value_error("no metadata found in " + text_of(path));
}

// A TemporaryDirectory removed when the scope ends, whatever happens.
class TemporaryDirectory {
public:
    TemporaryDirectory() : directory_(py::module_::import("tempfile").attr("TemporaryDirectory")("", "feedscout-")) {}
    ~TemporaryDirectory() {
        try {
            directory_.attr("cleanup")();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("feedscout: removing a download directory");
        }
    }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
    py::object path() const { return py::module_::import("pathlib").attr("Path")(directory_.attr("name")); }

private:
    py::object directory_;
};

py::object get_metadata(py::object, py::object finder, py::object link) {
    try {
        py::object metadata = metadata_from_file(finder, link);
        if (!metadata.is_none()) {
            return metadata;
        }
    } catch (py::error_already_set &e) {
        // Out of time, the distribution could not be read either: the query reports the time-out.
        if (!is_ordinary(e) || past_query_deadline()) {
            throw;
        }
        log_debug("Metadata file unusable for " + text_of(py::getattr(link, "redacted", link)) + ": " + error_text(e) +
                  "; reading the distribution instead");
    }
    TemporaryDirectory scratch;
    py::object root = scratch.path();
    py::object unpacked = root.attr("joinpath")("unpacked");
    unpacked.attr("mkdir")();  // unearth moves a downloaded wheel into it without creating it
    py::object artifact =
        finder.attr("download_and_unpack")(link, unpacked, py::arg("download_dir") = root.attr("joinpath")("download"));
    return metadata_from_artifact(artifact);
}

// "1.0" -> (1, 0); nullopt for anything that is not dotted numbers.
std::optional<std::pair<long, long>> metadata_version(const std::string &text) {
    long major = 0;
    long minor = 0;
    size_t at = 0;
    const auto number = [&](long &into) {
        const size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6) {
            into = into * 10 + (text[at] - '0');
            ++at;
        }
        return at > start;
    };
    if (!number(major)) {
        return std::nullopt;
    }
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (!number(minor)) {
            return std::nullopt;
        }
    }
    return std::make_pair(major, minor);
}

}  // namespace

std::string dependencies_unknown_reason(const py::object &metadata) {
    py::object declared = metadata.attr("get")("Metadata-Version");
    if (!declared.is_none()) {
        const std::string text = text_of(py::str(declared).attr("strip")());
        const auto version = metadata_version(text);
        if (version && *version < std::make_pair(1L, 2L)) {
            return "its metadata (Metadata-Version " + text + ") predates Requires-Dist";
        }
    }
    py::object dynamic = metadata.attr("get_all")("Dynamic");
    if (!dynamic.is_none()) {
        for (py::handle field : dynamic) {
            if (text_of(py::str(field).attr("strip")().attr("lower")()) == "requires-dist") {
                return "its metadata declares them dynamic";
            }
        }
    }
    return "";
}

IndexFinder::IndexFinder(const std::string &index_url) : finder_(py::none()), client_(py::none()) {
    py::list trusted = trusted_hosts_for(index_url);
    py::list index_urls;
    index_urls.append(index_url);
    try {
        py::object client_class = py::module_::import("unearth.fetchers").attr("PyPIClient");
        client_ = client_class(py::arg("trusted_hosts") = trusted, py::arg("event_hooks") = deadline_hooks());
        // Credentials in the index URL, as unearth's own client would use them, and never
        // a password prompt: there is nobody at a terminal.
        client_.attr("auth") =
            py::module_::import("unearth.auth")
                .attr("MultiDomainBasicAuth")(py::arg("prompting") = false, py::arg("index_urls") = index_urls);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) {
            close_quietly(client_);
            throw;
        }
        client_ = py::none();  // an unearth without its own fetchers: it makes its client itself
    }
    try {
        py::object finder_class = module_global("PackageFinder");
        if (client_.is_none()) {
            finder_ = finder_class(py::arg("index_urls") = index_urls, py::arg("trusted_hosts") = trusted);
        } else {
            finder_ = finder_class(py::arg("session") = client_, py::arg("index_urls") = index_urls,
                                   py::arg("trusted_hosts") = trusted);
        }
    } catch (...) {
        close_quietly(client_);
        throw;
    }
}

IndexFinder::~IndexFinder() { close_quietly(client_); }

void add_metadata_methods(ClassBuilder &cls) {
    cls.def("_get_metadata", &get_metadata, py::arg("finder"), py::arg("link"));
}

}  // namespace tarnlet::feedscout
