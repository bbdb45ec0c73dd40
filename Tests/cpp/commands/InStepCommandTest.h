#pragma once
// A command fixture for replies that carry text of their own before the final
// reply (listings, printed values, value lists): a reader that takes too much
// or too little of such a reply puts every later request out of step, so these
// tests check the stream with one more request afterwards.

#include "CommandFixture.h"

#include <string>

namespace Vantrel::HolvaneApi::Testing {

class InStepCommandTest : public CommandTest {
protected:
    // `text` as the controller prints it, then the reply with `status`.
    Bytes textThenReply(const std::string& text, double status = 0)
    {
        Bytes out = bytesOf(text);
        append(out, wire().reply(0, status));
        return out;
    }

    // A request that must come next, exactly: proves the stream is in step.
    void expectInStep()
    {
        peer()
            .expect(wire().tok("BASE").tok("OPENBRACKETS").num(4).tok("CLOSEBRACKETS").zero(), "in step")
            .send(wire().reply(0, 0));
        EXPECT_EQ(conn().SetAxisBase(4), NoError);
        ctl->verifyScript();
        EXPECT_TRUE(conn().IsConnected());
    }
};

} // namespace Vantrel::HolvaneApi::Testing
