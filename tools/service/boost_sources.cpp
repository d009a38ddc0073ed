// Boost.Asio's and Boost.Beast's compiled parts, built once here rather than inline in every file of
// the service that includes them (BOOST_ASIO_SEPARATE_COMPILATION, BOOST_BEAST_SEPARATE_COMPILATION).
// This file does not change, so a rebuild finds it compiled; each file of the service that includes
// Beast compiles in about three quarters of the time.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
