#include "Connection/Port/TCP/Commands/CmdGetMultiVr.h"

namespace Vantrel::HolvaneApi::TCP {

CmdGetMultiVr::CmdGetMultiVr(Connection_TCP* conn) : CmdBlockRead(conn, Token::tVRVALUES) {}

} // namespace Vantrel::HolvaneApi::TCP
