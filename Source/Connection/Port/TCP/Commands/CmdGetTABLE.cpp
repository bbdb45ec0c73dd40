#include "Connection/Port/TCP/Commands/CmdGetTABLE.h"

namespace Vantrel::HolvaneApi::TCP {

CmdGetTABLE::CmdGetTABLE(Connection_TCP* conn) : CmdBlockRead(conn, Token::tTABLEVALUES) {}

} // namespace Vantrel::HolvaneApi::TCP
