// tarnlet_master.business_layer.packages.feedscout: the package-index client.
#include "../common/module.hpp"

PYBIND11_MODULE(feedscout, m) { tarnlet::set_this_module(m); }
