#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ara/log/logger.h"
#include "vrt/cm/serialize/data_container.h"
#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm::proloc {

// The type-independent side of one event's process-local memory, as the middleware's receiving side sees
// it. All operations are thread-safe.
class ProlocEventMemory {
  public:
    virtual ~ProlocEventMemory() = default;

    // Takes the middleware's logger and the keep-last flag; true when a logger was obtained.
    virtual bool Init(bool keepLast) = 0;
    // Registers a client that may queue up to `cacheSize` samples. With keep-last, the last stored sample is
    // queued at once and the handler called once. A client uid already registered stays as it is.
    virtual void EnableEventClient(unsigned long clientUid, unsigned long cacheSize,
                                   std::function<void()> handler) = 0;
    virtual bool SetReceiveHandler(std::function<void()> handler, unsigned long clientUid) = 0;
    // Returns the number of clients left.
    virtual std::size_t UnSubscribeClient(unsigned long clientUid) = 0;
    // Samples queued for the client; 0 for an unknown client.
    virtual std::size_t GetMessageNumber(unsigned long clientUid) = 0;
    // Releases the client's loan of `sample`: 0 when the client is known, 1 otherwise.
    virtual std::uint8_t ReturnLoan(unsigned long clientUid, const unsigned char* sample) = 0;
    virtual std::size_t GetClientNumber() = 0;

    ProlocEventMemory(const ProlocEventMemory&) = delete;
    ProlocEventMemory& operator=(const ProlocEventMemory&) = delete;

  protected:
    ProlocEventMemory() = default;
};

// One event's process-local memory for payload type T: every stored sample becomes one shared copy that is
// queued for each registered client, without serialization. A copy lives while it is queued, loaned, held
// by a client or kept as the last sample; a sample dropped from a full queue was never handed out, so its
// loan goes with it. Receive handlers run on the storing thread, after the memory's mutex is released.
template <typename T>
class ProlocEventMemoryImpl : public ProlocEventMemory, public serialize::DataContainer<T> {
  public:
    struct DataInfo {
        unsigned long clientUid{0};
        unsigned long cacheSize{0};
        std::function<void()> handler;
    };

    struct ProlocEventClientData {
        DataInfo dataInfo;
        std::deque<std::shared_ptr<T>> queue;  // oldest first
        // Every queued sample stays alive here until the client returns it.
        std::map<const unsigned char*, std::shared_ptr<T>> loans;
    };

    bool Init(bool keepLast) override {
        log_ = utils::LogInitializer::GetLogger();
        std::lock_guard<std::mutex> lock(mutex_);
        keepLast_ = keepLast;
        return log_ != nullptr;
    }

    // The address of the stored copy, or null when no client took it and nothing keeps it.
    const T* StoreData(const T& sample) { return StoreData(std::make_shared<T>(sample)); }

    bool TakesData() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return keepLast_ || !clients_.empty();
    }

    // Stores `copy` itself, shared by every client; see StoreData(const T&).
    const T* StoreData(std::shared_ptr<T> copy) override {
        std::vector<std::function<void()>> handlers;
        // Samples let go of here are destroyed after the mutex is released: what they hold on to (a
        // shared-buffer block) is released by foreign code.
        std::vector<std::shared_ptr<T>> dropped;
        std::unique_lock<std::mutex> lock(mutex_);
        if (keepLast_) {
            dropped.push_back(std::exchange(last_, copy));
        }
        if (clients_.empty()) {
            lock.unlock();
            if (!keepLast_) {
                log_->Get().LogDebug(ARA_LOG_HERE)
                    << "[ProlocEventMemoryImpl][The corresponding client map is empty, ignore]";
                return nullptr;
            }
            return copy.get();
        }
        for (auto& [uid, client] : clients_) {
            if (client.queue.size() >= client.dataInfo.cacheSize && !client.queue.empty()) {
                if (log_->LimitedEntry("ProlocEventMemoryImpl_DoStoreData" + std::to_string(uid), 500, 1)) {
                    log_->Get().LogWarn(ARA_LOG_HERE)
                        << "[ProlocEventMemoryImpl][Proloc event msg is full, the oldest data wii be "
                           "discard][clientUid="
                        << uid << "]";
                }
                dropped.push_back(std::move(client.queue.front()));
                client.queue.pop_front();
                client.loans.erase(AddressOf(dropped.back()));
            }
            client.queue.push_back(copy);
            client.loans[AddressOf(copy)] = copy;
            if (client.dataInfo.handler) {
                handlers.push_back(client.dataInfo.handler);
            }
        }
        lock.unlock();
        for (auto& handler : handlers) {
            handler();
        }
        return copy.get();
    }

    void EnableEventClient(unsigned long clientUid, unsigned long cacheSize,
                           std::function<void()> handler) override {
        bool notify = false;
        std::function<void()> toCall;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ProlocEventClientData client;
            client.dataInfo = DataInfo{clientUid, cacheSize, handler};
            if (keepLast_ && last_) {
                client.queue.push_back(last_);
                client.loans[AddressOf(last_)] = last_;
            }
            clients_.emplace(clientUid, std::move(client));
            notify = keepLast_ && static_cast<bool>(handler);
            toCall = std::move(handler);
        }
        if (notify) {
            toCall();
        }
    }

    bool SetReceiveHandler(std::function<void()> handler, unsigned long clientUid) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = clients_.find(clientUid);
        if (it == clients_.end()) {
            log_->Get().LogWarn(ARA_LOG_HERE)
                << "[ProlocEventMemoryImpl_SetReceiveHandler]"
                << "[Cannot find corresponding event client, so set receive handler failed][clientUid="
                << clientUid << "]";
            return false;
        }
        it->second.dataInfo.handler = std::move(handler);
        return true;
    }

    // The client's oldest queued sample, which leaves the queue but stays loaned; null when there is none.
    std::shared_ptr<T> LoadData(unsigned long clientUid) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = clients_.find(clientUid);
        if (it == clients_.end() || it->second.queue.empty()) {
            return nullptr;
        }
        std::shared_ptr<T> sample = std::move(it->second.queue.front());
        it->second.queue.pop_front();
        return sample;
    }

    std::uint8_t ReturnLoan(unsigned long clientUid, const unsigned char* sample) override {
        typename decltype(ProlocEventClientData::loans)::node_type returned;  // destroyed after unlocking
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = clients_.find(clientUid);
        if (it == clients_.end()) {
            return 1U;
        }
        returned = it->second.loans.extract(sample);
        return 0U;
    }

    std::size_t UnSubscribeClient(unsigned long clientUid) override {
        typename decltype(clients_)::node_type removed;  // destroyed after unlocking
        std::lock_guard<std::mutex> lock(mutex_);
        removed = clients_.extract(clientUid);
        return clients_.size();
    }

    std::size_t GetMessageNumber(unsigned long clientUid) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = clients_.find(clientUid);
        return it == clients_.end() ? 0U : it->second.queue.size();
    }

    std::size_t GetClientNumber() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return clients_.size();
    }

  private:
    static const unsigned char* AddressOf(const std::shared_ptr<T>& sample) noexcept {
        return reinterpret_cast<const unsigned char*>(sample.get());
    }

    std::shared_ptr<utils::CmLogger> log_;
    mutable std::mutex mutex_;
    bool keepLast_{false};
    std::shared_ptr<T> last_;
    std::unordered_map<unsigned long, ProlocEventClientData> clients_;
};

}  // namespace vrt::cm::proloc
