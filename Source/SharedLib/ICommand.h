#pragma once

#include "SharedLib/ApiEnums.h"

#include <cstdint>

namespace Vantrel::HolvaneApi {

// An item of the reader pump's queue: a request already written whose reply
// the pump thread reads. Commands live on their issuer's stack.
class ICommand {
public:
    virtual ErrorCode readReply() = 0;
    virtual void waitReady() = 0;
    virtual void setReady() = 0;
    virtual void clearReady() = 0;
    virtual uint32_t id() const = 0;
    virtual const char* name() const = 0;

protected:
    ~ICommand() = default;
};

// Does nothing; only used to wake the pump when it is stopped.
class CommandVoid final : public ICommand {
public:
    ErrorCode readReply() override { return NoError; }
    void waitReady() override {}
    void setReady() override {}
    void clearReady() override {}
    uint32_t id() const override { return 0; }
    const char* name() const override { return "CommandVoid"; }
};

} // namespace Vantrel::HolvaneApi
