#include "Connection/Port/TCP/Commands/CmdForward.h"

namespace Vantrel::HolvaneApi::TCP {

CmdForward::CmdForward(Connection_TCP* conn) : CmdMotion(conn, Token::tFORWARD) {}

} // namespace Vantrel::HolvaneApi::TCP
