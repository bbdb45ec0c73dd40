#include "Connection/Port/TCP/Commands/CmdSetMultiVr.h"

namespace Vantrel::HolvaneApi::TCP {

CmdSetMultiVr::CmdSetMultiVr(Connection_TCP* conn) : CmdBlockWrite(conn) {}

} // namespace Vantrel::HolvaneApi::TCP
