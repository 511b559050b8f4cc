#pragma once

#include <memory>

namespace vrt::cm::serialize {

// Where a sent sample is kept for the receivers in the sending process (an event's process-local memory).
// The container and its receivers share ownership of what they are given; whatever the sample holds on to
// lives until the last of them lets go. Implementations are thread-safe.
template <typename T>
class DataContainer {
  public:
    virtual ~DataContainer() = default;

    // Keeps `sample` for the receivers. Returns its address, or null when nobody took it (the sample is then
    // dropped before the call returns).
    virtual const T* StoreData(std::shared_ptr<T> sample) = 0;
    // Whether StoreData would keep a sample now, so that a sender need not copy one for nobody. A receiver
    // that comes between this answer and the store misses that one sample, as if it had come after it.
    virtual bool TakesData() const { return true; }

  protected:
    DataContainer() = default;
    DataContainer(const DataContainer&) = default;
    DataContainer& operator=(const DataContainer&) = default;
};

}  // namespace vrt::cm::serialize
