// tarnlet_master.python_server.kernel: the per-workbook kernel process.
#include "../common/module.hpp"
#include "bridge_selftest.hpp"

PYBIND11_MODULE(kernel, m) {
    tarnlet::set_this_module(m);
    tarnlet::kernel::register_bridge_selftest(m);
}
