#include "Connection/Port/TCP/Commands/CmdDatum.h"

namespace Vantrel::HolvaneApi::TCP {

CmdDatum::CmdDatum(Connection_TCP* conn) : CmdMotion(conn, Token::tDATUM) {}

} // namespace Vantrel::HolvaneApi::TCP
