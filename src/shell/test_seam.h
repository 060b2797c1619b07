// Switches of the test build (testseam/quorvex.exe): answers the window
// tests set up in place of the machine's own. The release build answers as
// the machine does.
#pragma once
#include <cstdint>
#include <vector>

#include "channel/destination.h"

namespace rv::shell {

// The administrator check answers no.
bool TestSeamDeniesAdministrator();
int TestSeamTwoPaneRows();
std::vector<DestinationVolume> TestSeamVolumes();
int TestSeamServiceLevel(int level);
void TestSeamRecordRequest(uint32_t code, const void* data, uint32_t length);

}  // namespace rv::shell
