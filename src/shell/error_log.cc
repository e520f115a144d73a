#include "shell/error_log.h"

#include "base/text_codec.h"
#include "platform/diag.h"

namespace qarn {

bool ErrorLog::WriteErrorLog(int code) {
  const std::string line = Utf8ToCp1251("ошибка №") + std::to_string(code) + "\r\n";
  std::string error;
  const ByteView bytes(reinterpret_cast<const uint8_t*>(line.data()), line.size());
  if (fs_.Append(path_, bytes, &error)) return true;
  DiagError("error " + std::to_string(code) + " not logged: " + error);
  return false;
}

}  // namespace qarn
