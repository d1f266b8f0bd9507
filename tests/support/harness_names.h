// The harness (tools/harness) as the process-level tests name it: its types
// and calls, used unqualified in namespace harlo::test_support.
#pragma once

#include "bluez_sim.h"
#include "bounded_io.h"
#include "bus_client.h"
#include "line_reader.h"
#include "low_energy_link.h"
#include "private_bus.h"
#include "process_memory.h"
#include "subprocess.h"
#include "temp_dir.h"
#include "unique_fd.h"
#include "wait_bounds.h"

namespace harlo::test_support {

using harness::BluezSim;
using harness::BusClient;
using harness::BusPolicy;
using harness::CallOutcome;
using harness::defaultWait;
using harness::ExitStatus;
using harness::hasPendingEvent;
using harness::InterfaceMap;
using harness::LowEnergyLink;
using harness::memoryIsInstrumented;
using harness::PrivateBus;
using harness::ProfileOption;
using harness::PropertyList;
using harness::readExactlyWithin;
using harness::readInterfaceMap;
using harness::readLineWithin;
using harness::RecordedAdvertisement;
using harness::RecordedGattApplication;
using harness::RecordedProfile;
using harness::residentMemory;
using harness::StartAdapter;
using harness::Subprocess;
using harness::TempDir;
using harness::UniqueFd;
using harness::UnregisterCall;
using harness::waitForEndOfFile;
using harness::writeWithin;

}  // namespace harlo::test_support
