#include "IncomingMessages.h"

namespace zodivo {

DisplayChange IncomingMessages::Handle(devlink::ReportFrame frame, bool log_paused) {
  const devlink::DeviceMessage message = decoder_.Decode(frame);
  if (const auto* identity = std::get_if<devlink::IdentityMessage>(&message)) {
    return ShowIdentity{QString::fromUtf16(kConnectedStatus),
                        QString::fromUtf16(kUniqueIdPrefix) + QString::fromStdString(identity->identifier)};
  }
  if (const auto* line = std::get_if<devlink::LogLine>(&message); line != nullptr && !log_paused) {
    return AppendLogLine{QString::fromStdString(line->text)};
  }
  return {};
}

}  // namespace zodivo
