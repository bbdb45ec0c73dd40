#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/CreateParameters.h"

#include <cstddef>
#include <string_view>

namespace Vantrel::HolvaneApi::TCP {

// DIR "B": the controller's file listing, one callback per entry line as it
// arrives, then a simple reply. A controller that cannot list answers with
// the simple reply alone.
class CmdDir : public Command {
public:
    // Longest listing line accepted. Real entries are a name of at most a
    // few hundred characters and six numbers; anything this long is not a
    // listing, and reading on would let a controller grow the line without end.
    static constexpr size_t MaxLineLength = size_t{64} * 1024;
    // Bounds on a listing without end: a controller's file system holds a
    // few hundred, at most a few thousand files of short names, so 65536
    // lines or 8 MiB (read a byte at a time, a few seconds) is no real listing.
    static constexpr size_t MaxListingLines = 65536;
    static constexpr size_t MaxListingBytes = size_t{8} * 1024 * 1024;

    explicit CmdDir(Connection_TCP* conn) : Command(conn) {}

    // BadArgument, nothing written, when handler is empty.
    ErrorCode send(void* handler_context, ReportControllerFileCallback handler);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    // Reads the encoded simple reply that began with a zero byte; `lost`
    // tells whether it could not be read whole.
    ErrorCode readEncodedReply(bool& lost);

    void* _handler_context = nullptr;
    ReportControllerFileCallback _handler;
    const char* _name = "CmdDir";
};

// Decodes one entry line "name,size,compiled,autorun process,type,editable,
// autorun[,...]"; false for a TABLE entry or a malformed numeric field.
bool parseControllerFileEntry(const std::string_view& data, ControllerFileInfo& result);

// The text of str before the first sep (after skipping `skip` fields), or all
// of it; *left (if given) gets the text after that separator, or nothing.
std::string_view nextArg(const std::string_view& str, char sep, unsigned skip, std::string_view* left);

} // namespace Vantrel::HolvaneApi::TCP
