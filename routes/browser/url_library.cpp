// Boost.URL's compiled part, built here from its headers: Debian ships it
// as a separate library that the libc++ build could not link against.
#include <boost/url/src.hpp>
