// The simple reply (value, then status) in both number formats, read by the
// connection's reply reader and by the number reader over recorded bytes:
// every read ends, the status is folded exactly as the wire says, and an
// 8-byte number arrives bit for bit.

#include "FuzzChecks.h"
#include "FuzzController.h"

#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/MemPort.h"
#include "SharedLib/Token.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Fuzz;

namespace {

// A connection whose token table and number format come from a real connect
// sequence; the link itself is closed again, the table stays.
std::unique_ptr<Connection_TCP> settledConnection(bool tms320)
{
    FuzzController controller;
    auto connection = controller.makeConnection();
    controller.serve(tms320, false, std::string(), Ending::Close);
    const ErrorCode connected = connection->Connect();
    connection->Disconnect();
    controller.finish();
    check(connected == NoError, "connect to the fuzz controller", connected);
    check(connection->getFloatSize() == (tms320 ? 4u : 8u), "number format settled");
    return connection;
}

Connection_TCP* s_connections[2];

uint16_t expectedStatus(double status)
{
    double low = std::fmod(std::trunc(status), 65536.0);
    if (low < 0)
        low += 65536.0;
    return static_cast<uint16_t>(low);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_connections[0] = settledConnection(false).release();
    s_connections[1] = settledConnection(true).release();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool tms320 = data[0] & 1;
    const int mode = (data[0] >> 1) % 3;
    ++data;
    --size;
    Connection_TCP& connection = *s_connections[tms320 ? 1 : 0];
    const size_t numberSize = tms320 ? 4 : 8;

    MemPort port;
    check(port.Open(reinterpret_cast<const char*>(data), size) == NoError, "MemPort::Open");

    if (mode == 0) {
        // Simple replies one after another until the bytes run out.
        for (size_t offset = 0;; offset += 2 * numberSize) {
            double value = -1.0;
            uint16_t status = 0xFFFF;
            const ErrorCode result = connection.GetResponse(port, &value, &status);
            checkCode(result, "GetResponse");
            if (size - offset < 2 * numberSize) {
                check(result == BadResponse, "a cut reply is BadResponse", result);
                break;
            }
            if (!tms320) {
                check(std::memcmp(&value, data + offset, 8) == 0, "IEEE value not bit for bit");
                double raw = 0.0;
                std::memcpy(&raw, data + offset + 8, 8);
                if (!std::isfinite(raw)) {
                    check(result == BadResponse, "a status that is no number is BadResponse", result);
                    continue;
                }
                check(status == expectedStatus(raw), "status folded wrongly", status);
            }
            if (result == BadResponse)
                continue;
            if (status == 0)
                check(result == NoError, "status 0 is NoError", result);
            else
                check(result == (__ControllerError | status), "status becomes the controller band", result);
        }
    } else if (mode == 1) {
        const ControllerCapabilities& capabilities = connection.tokenTable()->controllerCapabilities();
        size_t numbers = 0;
        for (;;) {
            double value = 0.0;
            const ErrorCode result = capabilities.ReadNumber(value, port);
            if (result != NoError) {
                check(result == BadResponse, "the end of the bytes is BadResponse", result);
                break;
            }
            ++numbers;
            check(numbers <= size / numberSize, "more numbers than bytes allow", numbers);
            if (tms320)
                check(!std::isnan(value), "a TMS320 word never decodes to NaN");
        }
        check(numbers == size / numberSize, "numbers lost", numbers);
    } else {
        // Exact reads of varying counts over the bytes.
        size_t offset = 0;
        char buffer[64];
        for (size_t i = 0;; ++i) {
            const size_t count = 1 + (i * 7) % sizeof buffer;
            const ErrorCode result = connection.tokenTable()->ReadBytes(buffer, count, 1, port);
            if (result != NoError) {
                check(result == BadResponse, "a short exact read is BadResponse", result);
                check(size - offset < count, "an exact read failed with the bytes there", offset);
                break;
            }
            check(offset + count <= size, "read beyond the bytes", offset);
            check(std::memcmp(buffer, data + offset, count) == 0, "exact read changed the bytes");
            offset += count;
        }
    }
    return 0;
}
