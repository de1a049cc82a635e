// The object keeper: objects that user code saves by key, listed for the IDE, and
// message boxes requested from the add-in. These methods run on any thread (user code
// on workers, the listener) and never wait for the messages they send.
//
// _object_keeper_lock is a plain threading.Lock: nothing that can run Python code of the
// user's (repr, __del__, __hash__ of a key) happens while it is held, so a __repr__ or a
// finaliser that calls back into the keeper cannot lock its own thread out.
#include "messages.hpp"

namespace tarnlet::kernel {
namespace {

// Holds the keeper's lock for one scope, as `with lock:` would.
class KeeperLock : public ThreadLockGuard {
public:
    explicit KeeperLock(const py::object &self) : ThreadLockGuard(self.attr("_object_keeper_lock")) {}
};

// An exact str with the key's text, so that hashing it under the lock runs no user
// code (a str subclass may define __hash__ and __eq__).
py::object exact_key(const py::handle &key) {
    return py::reinterpret_steal<py::object>(PyUnicode_FromObject(key.ptr()));
}

py::dict update_message(const char *action) {
    py::dict message;
    message["type"] = "object_registry_update";
    message["action"] = action;
    return message;
}

void save_object(py::object self, py::object key, py::object value) {
    if (!is_str(key) || py::len(key) == 0) {
        raise_error_in("save_object", PyExc_ValueError, "ObjectKeeper key must be a non-empty string");
    }
    const py::object text_key = exact_key(key);
    py::object replaced;  // released after the lock, so its finaliser runs outside it
    {
        KeeperLock lock(self);
        const py::dict keeper = self.attr("_object_keeper");
        replaced = keeper.attr("get")(text_key);
        keeper[text_key] = value;
    }
    replaced = py::object();
    const py::object class_name = py::type::handle_of(value).attr("__name__");
    py::dict message = update_message("update");
    message["key"] = key;
    message["object_type"] = class_name;
    message["repr"] = py::repr(value);
    message["workbook_id"] = self.attr("workbook_id");
    schedule_send_quietly(self, message);
    log_debug("[Kernel] Saved object: " + text_of(key) + " (type: " + text_of(class_name) + ")");
}

py::object get_object(py::object self, py::object key) {
    // Only strings are ever stored; another key is absent without being hashed.
    if (!is_str(key)) {
        return py::none();
    }
    const py::object text_key = exact_key(key);
    KeeperLock lock(self);
    return self.attr("_object_keeper").attr("get")(text_key);
}

void clear_object(py::object self, py::object key) {
    py::object removed;
    if (is_str(key)) {
        const py::object text_key = exact_key(key);
        KeeperLock lock(self);
        removed = self.attr("_object_keeper").attr("pop")(text_key, py::none());
    }
    removed = py::object();
    py::dict message = update_message("delete");
    message["key"] = key;
    message["workbook_id"] = self.attr("workbook_id");
    schedule_send_quietly(self, message);
    log_debug("[Kernel] Cleared object: " + text_of(key));
}

void clear_all_objects(py::object self) {
    py::object removed;
    {
        KeeperLock lock(self);
        const py::object keeper = self.attr("_object_keeper");
        removed = keeper.attr("copy")();
        keeper.attr("clear")();
    }
    removed = py::object();
    py::dict message = update_message("clear_all");
    message["workbook_id"] = self.attr("workbook_id");
    schedule_send_quietly(self, message);
    log_debug("[Kernel] Cleared all objects");
}

py::list get_object_registry(py::object self) {
    py::list items;
    {
        KeeperLock lock(self);
        items = py::list(self.attr("_object_keeper").attr("items")());
    }
    // The texts are made from the snapshot: repr runs user code.
    py::list entries;
    for (const py::handle item : items) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        py::dict entry;
        entry["key"] = pair[0];
        entry["type"] = py::type::handle_of(pair[1]).attr("__name__");
        entry["repr"] = repr_or_stand_in(pair[1]);
        entries.append(entry);
    }
    return entries;
}

void show_message_box(py::object self, py::object message, py::object title, py::object type) {
    py::dict request;
    request["type"] = "show_message_box";
    request["message"] = message;
    request["title"] = title;
    request["msg_type"] = type;
    request["workbook_id"] = self.attr("workbook_id");
    schedule_send_quietly(self, request);
    log_debug("[Kernel] Requested message box: title='" + text_of(title) + "', type='" + text_of(type) + "'");
}

}  // namespace

void add_registry_methods(ClassBuilder &cls) {
    cls.def("save_object", &save_object, py::arg("key"), py::arg("value"));
    cls.def("get_object", &get_object, py::arg("key"));
    cls.def("clear_object", &clear_object, py::arg("key"));
    cls.def("clear_all_objects", &clear_all_objects);
    cls.def("get_object_registry", &get_object_registry);
    cls.def("show_message_box", &show_message_box, py::arg("message"), py::arg("title") = "Tarnlet",
            py::arg("type") = "Info");
}

}  // namespace tarnlet::kernel
