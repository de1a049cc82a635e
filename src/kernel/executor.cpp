// CodeExecutor runs console code from the IDE in a namespace that persists between
// requests; extract_tracebak_string and _parse_error_location serve every code path
// that reports errors.
#include "invocation.hpp"
#include "streams.hpp"

namespace tarnlet::kernel {

namespace {

// The builtins module is the interpreter's for its whole life; what it holds is read at
// each use, so a patched built-in is still the one called.
const py::object &builtins() {
    static const auto *module = new py::object(py::module_::import("builtins"));
    return *module;
}

// The namespace every console run starts with; globals and locals both name it, so
// functions defined at the console see the names defined beside them.
void fresh_namespace(const py::object &self) {
    const py::object tarnlet = module_global("tarnlet");
    py::dict ns;
    ns[interned("__builtins__")] = builtins();
    ns[interned("tarnlet")] = tarnlet;
    ns[interned("excel")] = tarnlet.attr(interned("excel"));
    ns[interned("context")] = tarnlet.attr(interned("context"));
    self.attr(interned("globals")) = ns;
    self.attr(interned("locals")) = ns;
}

// sys.<name> as the interpreter holds it (print reads it the same way), without an import.
py::object sys_stream(const char *name) {
    PyObject *stream = PySys_GetObject(name);
    if (stream == nullptr) {
        raise_error(PyExc_AttributeError, std::string("module 'sys' has no attribute '") + name + "'");
    }
    return py::reinterpret_borrow<py::object>(stream);
}

void flush_streams() {
    sys_stream("stdout").attr(interned("flush"))();
    sys_stream("stderr").attr(interned("flush"))();
}

// compile(source, "<kernel>", "eval"), or nothing when the source is not an expression.
py::object compile_expression(const py::object &source) {
    try {
        return builtins().attr(interned("compile"))(source, "<kernel>", "eval");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_SyntaxError)) {
            throw;
        }
    }
    return py::object();
}

// Statements of `source` as ast.dump text, or nothing when it does not compile.
py::object statement_dumps(const py::object &ast, const py::object &source) {
    try {
        py::list dumps;
        const py::object tree = ast.attr(interned("parse"))(source);
        for (py::handle statement : tree.attr(interned("body"))) {
            dumps.append(ast.attr(interned("dump"))(statement));
        }
        return dumps;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError)) {
            throw;
        }
    }
    return py::object();
}

// Running the head and the tail one after the other must mean what running the whole
// code means: both halves compile on their own and together hold exactly the whole
// code's statements. That rules out a "; " inside a string or bracket, and one that
// joins statements of a compound statement's body ("if x: a = 1; b = 2").
bool split_is_faithful(const py::object &code, const py::object &head, const py::object &tail) {
    const py::object ast = py::module_::import("ast");
    const py::object head_dumps = statement_dumps(ast, head);
    if (!head_dumps) {
        return false;
    }
    const py::object tail_dumps = statement_dumps(ast, tail);
    if (!tail_dumps) {
        return false;
    }
    const py::object whole_dumps = statement_dumps(ast, code);
    return whole_dumps && whole_dumps.equal(head_dumps + tail_dumps);
}

// The console rule: an expression gives its value; "statements; expression" runs the
// statements and gives the value of what follows the first "; "; anything else runs.
py::object run_console_code(const py::object &self, const py::object &code) {
    const py::object run_exec = builtins().attr(interned("exec"));
    const py::object run_eval = builtins().attr(interned("eval"));
    const py::object expression = compile_expression(code);
    if (expression) {
        return run_eval(expression, self.attr(interned("globals")), self.attr(interned("locals")));
    }
    const py::str separator("; ");
    if (!code.contains(separator)) {
        run_exec(code, self.attr(interned("globals")), self.attr(interned("locals")));
        return py::none();
    }
    const py::list parts = code.attr(interned("split"))(separator, 1);
    const py::object head = parts[0];
    // Blanks after the separator are not indentation; eval would ignore them anyway.
    const py::object tail = parts[1].attr(interned("lstrip"))(" \t");
    if (py::len(tail) == 0 || !split_is_faithful(code, head, tail)) {
        run_exec(code, self.attr(interned("globals")), self.attr(interned("locals")));
        return py::none();
    }
    run_exec(head, self.attr(interned("globals")), self.attr(interned("locals")));
    bool tail_is_statements = false;
    try {
        const py::object tail_expression = compile_expression(tail);
        if (tail_expression) {
            return run_eval(tail_expression, self.attr(interned("globals")), self.attr(interned("locals")));
        }
        tail_is_statements = true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_SyntaxError)) {
            throw;
        }
        tail_is_statements = true;
    }
    if (tail_is_statements) {
        run_exec(tail, self.attr(interned("globals")), self.attr(interned("locals")));
    }
    return py::none();
}

py::dict execute(py::object self, py::object code, py::object stdout_callback, py::object stderr_callback) {
    // The run's output is captured for this thread only: overlapping runs on other threads
    // keep theirs, and a thread this code starts writes process-wide.
    output::Capture capture;
    capture.to_callback(output::out, stdout_callback);
    capture.to_callback(output::err, stderr_callback);

    py::dict result;
    result[interned("success")] = true;
    result[interned("stdout")] = "";
    result[interned("stderr")] = "";
    result[interned("error")] = py::none();
    result[interned("result")] = py::none();

    try {
        const output::CaptureScope captured(capture);
        result[interned("result")] = run_console_code(self, code);
        flush_streams();
    } catch (py::error_already_set &e) {
        // Console code may raise any BaseException (sys.exit(), KeyboardInterrupt): it is
        // the request's error, not the end of the kernel.
        result[interned("success")] = false;
        result[interned("error")] = invocation::error_record_of(exception_of(e));
        try {
            flush_streams();
        } catch (py::error_already_set &flush_error) {
            if (!flush_error.matches(PyExc_Exception)) {
                throw;
            }
        }
    }
    result[interned("stdout")] = capture.text(output::out);
    result[interned("stderr")] = capture.text(output::err);
    return result;
}

py::str extract_tracebak_string(py::object e) {
    const py::object lines =
        py::module_::import("traceback")
            .attr(interned("format_exception"))(py::type::handle_of(e), e, e.attr(interned("__traceback__")));
    return py::str("").attr(interned("join"))(lines);
}

py::dict location(const py::object &module, const py::object &line) {
    py::dict found;
    found[interned("module")] = module;
    found[interned("line")] = py::int_(line);
    found[interned("file")] = py::str("<virtual:") + py::str(module) + py::str(">");
    return found;
}

py::dict parse_error_location(py::object traceback_str, py::object in_memory_modules) {
    const py::object re = py::module_::import("re");
    const py::list matches =
        re.attr(interned("findall"))(R"(File ["\']<virtual:(\w+)>["\'], line (\d+))", traceback_str);
    if (py::len(matches) > 0) {
        const py::tuple last = matches[py::len(matches) - 1];
        return location(last[0], last[1]);
    }
    for (py::handle name : in_memory_modules) {
        const py::object pattern = py::str(R"(File ["\'][^"\']*)") + re.attr(interned("escape"))(name) +
                                   py::str(R"([^"\']*["\'], line (\d+))");
        const py::object match = re.attr(interned("search"))(pattern, traceback_str);
        if (!match.is_none()) {
            return location(py::reinterpret_borrow<py::object>(name), match.attr(interned("group"))(1));
        }
    }
    return py::dict();
}

}  // namespace

void register_executor(py::module_ &m) {
    ClassBuilder cls("CodeExecutor", m);
    cls.attr("__doc__", py::str("Runs console code in a namespace that lives as long as the kernel."));
    cls.def_init([](py::object self) { fresh_namespace(self); });
    cls.def("reset_namespace", [](py::object self) { fresh_namespace(self); });
    cls.def("execute", &execute, py::arg("code"), py::arg("stdout_callback") = py::none(),
            py::arg("stderr_callback") = py::none());
    m.attr(interned("CodeExecutor")) = cls.build();

    m.def("extract_tracebak_string", &extract_tracebak_string, py::arg("e"),
          "The full formatted traceback of an exception, chained exceptions included.");
    m.def("_parse_error_location", &parse_error_location, py::arg("traceback_str"), py::arg("in_memory_modules"),
          "Module, line and virtual file name of the innermost workbook frame in a traceback, or {}.");
}

}  // namespace tarnlet::kernel
