#include "Connection/Port/TCP/Commands/CmdDefPos.h"

namespace Vantrel::HolvaneApi::TCP {

CmdDefPos::CmdDefPos(Connection_TCP* conn) : CmdMotion(conn, Token::tDEFPOS) {}

} // namespace Vantrel::HolvaneApi::TCP
