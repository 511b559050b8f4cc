#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "vrt/cm/proloc/proloc_entity_index.h"
#include "vrt/cm/proloc/proloc_event_memory.h"

namespace vrt::cm::proloc {

// The process-wide registry of the process-local memories of payload type T, one per event index.
// Thread-safe; lives until the process exits.
template <typename T>
class ProlocEventInstanceImpl {
  public:
    static std::shared_ptr<ProlocEventInstanceImpl> GetInstance() {
        static const std::shared_ptr<ProlocEventInstanceImpl> instance(new ProlocEventInstanceImpl());
        return instance;
    }

    // The memory of the index, created and initialized when absent; null when its initialization fails.
    std::shared_ptr<ProlocEventMemoryImpl<T>> FindAndAddProlocEventMemory(const ProlocEntityIndex& index,
                                                                          bool keepLast) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = memories_.find(index);
        if (it != memories_.end()) {
            return it->second;
        }
        auto memory = std::make_shared<ProlocEventMemoryImpl<T>>();
        if (!memory->Init(keepLast)) {
            return nullptr;
        }
        memories_.emplace(index, memory);
        return memory;
    }

    std::shared_ptr<ProlocEventMemoryImpl<T>> GetProlocEventMemory(const ProlocEntityIndex& index) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = memories_.find(index);
        return it == memories_.end() ? nullptr : it->second;
    }

    void DeleteProlocEventMemory(const ProlocEntityIndex& index) {
        std::lock_guard<std::mutex> lock(mutex_);
        memories_.erase(index);
    }

  private:
    ProlocEventInstanceImpl() = default;

    std::mutex mutex_;
    std::map<ProlocEntityIndex, std::shared_ptr<ProlocEventMemoryImpl<T>>> memories_;
};

}  // namespace vrt::cm::proloc
