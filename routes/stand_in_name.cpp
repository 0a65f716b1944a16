// The one part of a stand-in that differs between modules: built once per
// module with QUILLO_MODULE_NAME set, while stand_in_module.cpp is compiled
// once for all of them. It includes nothing, so that it compiles at once.
const char* stand_in_name();

#ifndef QUILLO_MODULE_NAME
#error "QUILLO_MODULE_NAME must name the module"
#endif

const char* stand_in_name() {
    return QUILLO_MODULE_NAME;
}
