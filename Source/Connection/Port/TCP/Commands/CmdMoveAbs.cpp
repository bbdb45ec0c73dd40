#include "Connection/Port/TCP/Commands/CmdMoveAbs.h"

namespace Vantrel::HolvaneApi::TCP {

CmdMoveAbs::CmdMoveAbs(Connection_TCP* conn) : CmdMotion(conn, Token::tMOVEABS) {}

} // namespace Vantrel::HolvaneApi::TCP
