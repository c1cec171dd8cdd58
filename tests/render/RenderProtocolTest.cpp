#include "render/RenderProtocol.h"

#include <clocale>
#include <gtest/gtest.h>

using namespace quarnel::render;

namespace {

// The typed messages travel as the fields the other side has always read, whatever the locale.
TEST(RenderProtocol, EveryKindKeepsItsFieldsOnTheWireAndReadsBackTheSame)
{
    const char* const locale = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const PageRequest page {2, 150.5, 80, true, "/out/p 3.jpg"};
    const std::vector<std::pair<Request, Message>> requests {
        {{RequestKind::Open, 7, "/in/a.pdf", {}}, {"open", "7", "/in/a.pdf"}},
        {{RequestKind::Render, 8, "/in/a.pdf", page},
         {"render", "8", "/in/a.pdf", "2", "150.500", "80", "1", "/out/p 3.jpg"}},
        {{RequestKind::Ahead, 9, "/in/a.pdf", page},
         {"ahead", "9", "/in/a.pdf", "2", "150.500", "80", "1", "/out/p 3.jpg"}},
        {{RequestKind::Forget, 0, {}, {}}, {"forget"}},
        {{RequestKind::Hurry, 9, {}, {}}, {"hurry", "9"}},
    };
    for (const auto& [request, fields] : requests) {
        EXPECT_EQ(Encode(request), EncodeMessage(fields)) << fields[0];
        const std::optional<Request> read = DecodeRequest(fields);
        ASSERT_TRUE(read.has_value()) << fields[0];
        EXPECT_EQ(read->kind, request.kind);
        EXPECT_EQ(read->id, request.id);
        EXPECT_EQ(read->path, request.path);
        EXPECT_EQ(read->page, request.page);
    }
    const std::vector<std::pair<Reply, Message>> replies {
        {{ReplyKind::Opened, 1, 12, 0, 0, 0, "1:2:3:4.5", {}}, {"opened", "1", "12", "1:2:3:4.5"}},
        {{ReplyKind::Done, 2, 0, 1100, 850, 99.5, "1:2:3:4.5", {}},
         {"done", "2", "1100", "850", "99.500000", "1:2:3:4.5"}},
        {{ReplyKind::OpenFailed, 3, 0, 0, 0, 0, {}, "no such file"}, {"failed", "3", "no such file"}},
        {{ReplyKind::Failed, 4, 0, 0, 0, 0, {}, "bad page"}, {"error", "4", "bad page"}},
        {{ReplyKind::Stopped, 5, 0, 0, 0, 0, {}, "too long"}, {"stopped", "5", "too long"}},
        {{ReplyKind::Exhausted, 6, 0, 0, 0, 0, {}, "too big"}, {"exhausted", "6", "too big"}},
    };
    for (const auto& [reply, fields] : replies) {
        EXPECT_EQ(Encode(reply), EncodeMessage(fields)) << fields[0];
        const std::optional<Reply> read = DecodeReply(fields);
        ASSERT_TRUE(read.has_value()) << fields[0];
        EXPECT_EQ(read->kind, reply.kind);
        EXPECT_EQ(read->id, reply.id);
        EXPECT_EQ(read->pages, reply.pages);
        EXPECT_EQ(read->width, reply.width);
        EXPECT_EQ(read->dpi, reply.dpi);
        EXPECT_EQ(read->version, reply.version);
        EXPECT_EQ(read->message, reply.message);
    }
    // What is not a request: unknown kinds, missing fields, numbers that are not numbers.
    for (const Message& bad : std::vector<Message> {{"sure", "1"},
                                                    {"open", "1"},
                                                    {"hurry", "-1"},
                                                    {"render", "2", "/a.pdf", "x", "72", "80", "0", "/t.jpg"},
                                                    {}})
        EXPECT_FALSE(DecodeRequest(bad).has_value()) << (bad.empty() ? "" : bad[0]);
    if (locale)
        std::setlocale(LC_NUMERIC, "C");
}

TEST(RenderProtocol, MessagesSurviveAnySplitAndABadLengthEndsTheStream)
{
    const Message open {"open", "7", "/in/\xc3\xa9t\xc3\xa9 report.pdf"};
    const Message done {"done", "8", "", "1100", "300"};
    const std::string stream = EncodeMessage(open) + EncodeMessage(done);
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        MessageReader reader;
        std::vector<Message> got;
        Message message;
        reader.append(stream.data(), cut);
        while (reader.next(message))
            got.push_back(message);
        reader.append(stream.data() + cut, stream.size() - cut);
        while (reader.next(message))
            got.push_back(message);
        EXPECT_EQ(got, (std::vector<Message> {open, done})) << "split at " << cut;
    }
    // A length no message can have: what follows is never read as messages, even when it looks like one.
    MessageReader reader;
    const std::string oversized("\xff\xff\xff\xff", 4);
    const std::string after = EncodeMessage({"opened", "1", "3", "2049:12:1000:17.5"});
    reader.append(oversized.data(), oversized.size());
    reader.append(after.data(), after.size());
    Message message;
    EXPECT_FALSE(reader.next(message));
    EXPECT_TRUE(reader.broken());
    reader.append(after.data(), after.size());
    EXPECT_FALSE(reader.next(message));

    EXPECT_TRUE(DecodeReply({"opened", "1", "3", "2049:12:1000:17.5"}).has_value());
    EXPECT_FALSE(DecodeReply({"opened", "1", "3"}).has_value());
    EXPECT_FALSE(DecodeReply({"opened", "1", "-2", "2049:12:1000:17.5"}).has_value());
    EXPECT_FALSE(DecodeReply({"done", "x", "1", "1", "1"}).has_value());
    EXPECT_FALSE(DecodeReply({"sure"}).has_value());
}

} // namespace
