// tarnlet_master.python_server.sensewire: the language bridge over jedi and pyflakes.
#include "../common/module.hpp"

PYBIND11_MODULE(sensewire, m) { tarnlet::set_this_module(m); }
