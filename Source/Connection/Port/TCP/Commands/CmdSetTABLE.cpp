#include "Connection/Port/TCP/Commands/CmdSetTABLE.h"

namespace Vantrel::HolvaneApi::TCP {

CmdSetTABLE::CmdSetTABLE(Connection_TCP* conn) : CmdBlockWrite(conn) {}

} // namespace Vantrel::HolvaneApi::TCP
