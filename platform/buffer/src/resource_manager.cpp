#include "ara/rm/resource_manager.h"

#include "hal_buff/fault_injection.h"

namespace ara::rm {

bool RegisterMediaResource() {
    // No resource manager process runs beside this service, so there is nothing to register with.
    return hal_buff::fault::Consume(hal_buff::fault::Operation::kRegisterMediaResource) == 0;
}

}  // namespace ara::rm
