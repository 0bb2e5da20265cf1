// The dial-up back end the configuration names: shared by the connection manager, which dials
// with it, and the applet's Connection page, which lists its phone-book entries, so both
// always see the same entries.
#pragma once

#include <memory>
#include <vector>

#include "platform/Dialer.h"

namespace pv::dialup {

// The back end the hive asks for: `AdvCon\Dialer` "simulator" runs the script under the key
// `Simulator` (one subkey per phone-book entry); anything else, or nothing, is pppd.
std::unique_ptr<platform::IDialer> MakeConfiguredDialer();
// The simulator's script as the hive holds it now.
std::vector<platform::SimulatedEntry> ReadSimulatorScript();

}  // namespace pv::dialup
