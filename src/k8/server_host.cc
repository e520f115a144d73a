#include "k8/server_host.h"

namespace qarn {

ServerHost ReadServerHost(const IniFile& ini) {
  const ServerHost defaults;
  ServerHost host;
  host.address = ini.ReadString("ServerHost", "Address", defaults.address);
  host.port = ini.ReadInteger("ServerHost", "Port", defaults.port);
  host.packet_size = ini.ReadInteger("ServerHost", "PacketSize", defaults.packet_size);
  host.backup_address = ini.ReadString("ServerHost", "BackupAddress", "");
  host.backup_port = ini.ReadInteger("ServerHost", "BackupPort", host.port);
  return host;
}

}  // namespace qarn
