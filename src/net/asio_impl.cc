// The one translation unit that holds Asio's compiled parts.
#include <boost/asio/impl/src.hpp>
