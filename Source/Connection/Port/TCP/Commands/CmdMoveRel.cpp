#include "Connection/Port/TCP/Commands/CmdMoveRel.h"

namespace Vantrel::HolvaneApi::TCP {

CmdMoveRel::CmdMoveRel(Connection_TCP* conn) : CmdMotion(conn, Token::tMOVE) {}

} // namespace Vantrel::HolvaneApi::TCP
