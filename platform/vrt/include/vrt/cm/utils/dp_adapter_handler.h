#pragma once

#include <cstdint>

struct Mbuf;

namespace vrt::cm::utils {

// The middleware's access to the platform's shared-buffer blocks. Thread-safe, as the buffer service is.
// Raw-data objects free their blocks through it, possibly late and on a receiver's thread, so nobody is left
// to look at the status but the handler: a handler that cares reports failures itself.
class DpAdapterHandler {
  public:
    virtual ~DpAdapterHandler() = default;

    // Returns a block to its pool; the buffer service's status, 0 on success.
    virtual std::int32_t MbufFree(Mbuf* mbuf);
};

}  // namespace vrt::cm::utils
