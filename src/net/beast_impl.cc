// The one translation unit that holds Beast's and Asio's TLS layer's compiled parts.
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
