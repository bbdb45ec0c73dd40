#include "Connection/Port/TCP/Commands/CmdCancel.h"

namespace Vantrel::HolvaneApi::TCP {

CmdCancel::CmdCancel(Connection_TCP* conn) : CmdMotion(conn, Token::tCANCEL) {}

} // namespace Vantrel::HolvaneApi::TCP
