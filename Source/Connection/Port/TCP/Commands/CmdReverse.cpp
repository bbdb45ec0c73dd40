#include "Connection/Port/TCP/Commands/CmdReverse.h"

namespace Vantrel::HolvaneApi::TCP {

CmdReverse::CmdReverse(Connection_TCP* conn) : CmdMotion(conn, Token::tREVERSE) {}

} // namespace Vantrel::HolvaneApi::TCP
