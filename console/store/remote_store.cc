// Placeholder until the remote side is built.
#include "console/store/console_store.h"
#include "console/store/store_texts.h"

namespace qv::console {

ConnectOutcome ConnectControl(const std::string&, const std::string&, const std::string&,
                              uint16_t, int) {
  return {nullptr, kGeneralFailure};
}

}  // namespace qv::console
