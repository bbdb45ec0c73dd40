#include "Connection/Port/TCP/Commands/CmdMoveAbsSp.h"

namespace Vantrel::HolvaneApi::TCP {

CmdMoveAbsSp::CmdMoveAbsSp(Connection_TCP* conn) : CmdMotion(conn, Token::tMOVEABSSP) {}

} // namespace Vantrel::HolvaneApi::TCP
