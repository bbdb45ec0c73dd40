#include "Connection/Port/TCP/Commands/CmdMoveRelSp.h"

namespace Vantrel::HolvaneApi::TCP {

CmdMoveRelSp::CmdMoveRelSp(Connection_TCP* conn) : CmdMotion(conn, Token::tMOVESP) {}

} // namespace Vantrel::HolvaneApi::TCP
