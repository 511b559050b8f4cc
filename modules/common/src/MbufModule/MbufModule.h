#pragma once

#include <vector>

#include "ara/log/logger.h"
#include "hal_buff/hal_buff.h"

namespace mbuf {

// One pool of equal-sized shared-buffer blocks, and the block it filled last.
//
// Not thread-safe: the process-wide service initialisation in init() and the fills of one module must not run
// concurrently. Blocks returned by the fills belong to the caller, who releases them (getMbufData does).
class MbufModule {
  public:
    // True once the process has registered with the resource manager and initialised the shared-buffer
    // service; shared by every module so that only the first successful init() does it.
    static bool initialized;

    MbufModule();

    // Initialises the service if no module has yet, then, if `createPool`, creates a pool of `blockCount`
    // blocks of `blockSize` bytes rounded up to a multiple of 32. Failures are logged, not returned.
    void init(bool createPool, unsigned int blockCount, unsigned int blockSize);

    // Allocate a block, copy the bytes into it and set its data length, which is also written to *length.
    // Return the new block, or null if any step failed: the block is then freed again and the module's
    // current block is the one it was before. Data larger than the block is refused, never truncated.
    Mbuf* fillMbuf(std::vector<unsigned char> data, unsigned long* length);
    Mbuf* fillMbuf(void* source, unsigned long* length, unsigned long size);

    // Reads a block and returns it to its pool. Since the block's storage is released before the call
    // returns, its whole data area is first copied into a buffer owned by this module; the result points
    // there and stays valid until the next getMbufData on this module or the module's destruction.
    // *size receives the block's data-area size. Returns null, and frees nothing, if `mbuf` or *mbuf is
    // null or not an allocated block; returns null if the release fails. *mbuf is left unchanged.
    void* getMbufData(Mbuf** mbuf, unsigned long* size);

  private:
    Mbuf* fill(const void* source, unsigned long size, unsigned long* length);
    // Undoes a fill whose block was allocated but could not be completed.
    Mbuf* abandonFill(Mbuf* previous);

    PoolHandle pool_{nullptr};
    Mbuf* currentMbuf_{nullptr};
    ara::log::Logger& logger_;
    std::vector<unsigned char> readBack_;  // grows to the largest data area read, then is reused
};

}  // namespace mbuf
