// What may go into a request to an index. A package name or version comes from the package
// manager's user and ends up in URL paths and in the finder's requirement text, so anything
// that is not plainly a distribution name or a version is refused before any request: a
// name like "a/../b" or an absolute path would otherwise make the index (or the local disk)
// answer for something else.
#include <algorithm>

#include "feedscout.hpp"

namespace tarnlet::feedscout {
namespace {

bool is_ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool is_unreserved(char c) { return is_ascii_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

// The text of a str, or nullopt for anything else (including a str that cannot be encoded).
std::optional<std::string> exact_text(const py::handle &value) {
    if (!py::isinstance<py::str>(value)) {
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();  // lone surrogates: no name or version contains one
        return std::nullopt;
    }
    return std::string(data, static_cast<size_t>(size));
}

// Letters, digits and ".", "_", "-", starting and ending with a letter or digit.
bool is_distribution_name(const std::string &name) {
    if (name.empty() || !is_ascii_alnum(name.front()) || !is_ascii_alnum(name.back())) {
        return false;
    }
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return is_ascii_alnum(c) || c == '.' || c == '_' || c == '-'; });
}

// The characters a version can be written with, starting with a letter or digit (no
// separators, blanks or percent signs); a version must also satisfy PEP 440 when packaging
// is there to say so.
bool is_version_text(const std::string &version) {
    if (version.empty() || !is_ascii_alnum(version.front())) {
        return false;
    }
    return std::all_of(version.begin(), version.end(), [](char c) {
        return is_ascii_alnum(c) || c == '.' || c == '_' || c == '-' || c == '!' || c == '+';
    });
}

bool is_pep440_version(const std::string &version) {
    if (!py::bool_(module_global("PACKAGING_AVAILABLE"))) {
        return true;  // the character set above is all that can be checked
    }
    try {
        module_global("Version")(version);
        return true;
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return false;
    }
}

std::string repr_of(const py::handle &value) {
    try {
        return tarnlet::text_of(py::repr(value));
    } catch (py::error_already_set &e) {
        if (!is_ordinary(e)) {
            throw;
        }
        return "<unprintable " + std::string(Py_TYPE(value.ptr())->tp_name) + " object>";
    }
}

}  // namespace

std::optional<std::string> checked_name(const py::handle &name) {
    std::optional<std::string> text = exact_text(name);
    if (!text || !is_distribution_name(*text)) {
        log_warning("Refusing package name " + repr_of(name) + ": not a valid distribution name");
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> checked_version(const std::string &name, const py::handle &version) {
    std::optional<std::string> text = exact_text(version);
    if (!text || !is_version_text(*text) || !is_pep440_version(*text)) {
        log_warning("Refusing version " + repr_of(version) + " of " + name + ": not a valid version");
        return std::nullopt;
    }
    return text;
}

std::string quote_url_part(const std::string &part) {
    static const char hex[] = "0123456789ABCDEF";
    std::string quoted;
    quoted.reserve(part.size());
    for (const char c : part) {
        if (is_unreserved(c)) {
            quoted.push_back(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        quoted.push_back('%');
        quoted.push_back(hex[byte >> 4]);
        quoted.push_back(hex[byte & 0x0F]);
    }
    return quoted;
}

}  // namespace tarnlet::feedscout
