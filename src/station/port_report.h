// What the driver says about its station port: the line for standard error, which names
// the port, its device and the reason, and the operator's message for a start that failed.
#pragma once

#include <string>

#include "platform/serial_device.h"

namespace qarn {

// "station port COM3 (/dev/ttyUSB0)"
std::string PortTitle(const std::string& com_name, const DeviceError& error);

// "no permission (the user must be in group dialout, which owns the device)"
std::string DescribeDeviceError(const DeviceError& error);

// The message box text: "Порт уже занят!" only for a port that another program holds.
std::string PortFailureMessage(const DeviceError& error);

}  // namespace qarn
