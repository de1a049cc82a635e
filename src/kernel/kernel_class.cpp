#include "kernel.hpp"

namespace tarnlet::kernel {

void register_kernel_class(py::module_ &m) {
    ClassBuilder cls("PythonKernel", m);
    add_lifecycle_methods(cls);
    add_outgoing_methods(cls);
    add_chunk_methods(cls);
    add_dispatch_methods(cls);
    add_execution_methods(cls);
    add_custom_function_methods(cls);
    add_callable_methods(cls);
    add_streaming_methods(cls);
    add_event_methods(cls);
    add_registry_methods(cls);
    add_debug_run_methods(cls);
    add_language_request_methods(cls);
    m.attr("PythonKernel") = cls.build();
    m.def("main", &kernel_main, py::arg("workbook_id"), py::arg("port"), py::arg("connection_args") = py::none());
}

}  // namespace tarnlet::kernel
