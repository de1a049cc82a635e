// tarnlet_master.python_server.kernel: the per-workbook kernel process.
#include "bridge_selftest.hpp"
#include "kernel.hpp"

PYBIND11_MODULE(kernel, m) {
    using namespace tarnlet::kernel;
    tarnlet::set_this_module(m);
    register_outgoing(m);
    register_batcher(m);
    register_loader(m);
    register_path_environment(m);
    register_streams(m);
    register_executor(m);
    register_kernel_class(m);
    register_bridge_selftest(m);
}
