// The K8 session's rules on virtual time: no socket, no thread, no real pause.
#include "k8/k8_session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "k8/k8_wire.h"

namespace qarn {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Kind = K8Effect::Kind;

class K8SessionTest : public ::testing::Test {
 protected:
  K8SessionTest() : session_(ring_, K8LinkTiming()) { session_.Start(now_); }

  K8Order Next() {
    K8Order order = session_.Next(now_);
    Collect();
    return order;
  }
  void Collect() {
    for (auto& e : session_.TakeEffects()) effects_.push_back(std::move(e));
  }
  // The effects of `kind` so far, their texts, and forgets them all.
  std::vector<std::string> Taken(Kind kind) {
    std::vector<std::string> texts;
    for (const auto& e : effects_) {
      if (e.kind == kind) texts.push_back(e.text);
    }
    return texts;
  }
  void Connect() {
    now_ += 5001;
    ASSERT_EQ(Next().kind, K8Order::kConnect);
    session_.OnConnected(now_, {"COM3", true, 260});
    Collect();
  }
  // Takes the next order, which must be an exchange, and writes it; the packet it sent.
  K8PacketHeader Send() {
    const K8Order order = Next();
    EXPECT_EQ(order.kind, K8Order::kExchange);
    EXPECT_FALSE(order.frame.empty());
    session_.OnWritten();
    return ReadK8PacketHeader(ByteView(order.frame).subspan(kK8FrameHeaderSize)).value();
  }
  void Reply(int32_t type, ByteView payload = ByteView()) {
    session_.OnReply(now_, BuildK8Packet(type, payload, 0));
    Collect();
  }
  // Connects and answers the greeting.
  void Greeted() {
    Connect();
    for (int i = 0; i < 4; ++i) {
      Send();
      Reply(0x7E000000);
    }
    effects_.clear();
  }
  void QueueEvent(const std::string& file) {
    ring_.QueuePacket(kK8StationEventType, Bytes(18, 0x5A), file);
  }

  uint32_t now_ = 100000;
  PacketRing ring_;
  K8Session session_;
  std::vector<K8Effect> effects_;
};

TEST_F(K8SessionTest, GreetingIsQueuedBeforeTheLinkIsUpAndBehindLeftoverPackets) {
  // The first attempt once more than 5000 ms have passed on the tick (at once, unless the
  // system started less than that ago), then more than 5000 ms between attempts.
  session_.Start(3000);
  now_ = 3000;
  EXPECT_EQ(Next().until, 5001u);
  now_ = 5001;
  EXPECT_EQ(Next().kind, K8Order::kConnect);
  EXPECT_THAT(Taken(Kind::kStatus), ElementsAre("Соединение..."));
  session_.OnConnectFailed(now_);
  now_ += 5000;
  K8Order wait = Next();
  EXPECT_EQ(wait.kind, K8Order::kWait);
  EXPECT_EQ(wait.until, now_ + 1);
  now_ += 1;
  EXPECT_EQ(Next().kind, K8Order::kConnect);

  QueueEvent("left.dd8");  // queued before this connection
  session_.OnConnected(now_, {"COM3", true, 260});
  EXPECT_TRUE(session_.link_up());
  // Everything the link shows up with is already in the ring, in order.
  std::vector<int32_t> types;
  std::vector<int64_t> sequences;
  for (auto& entry : ring_.TakeAll()) {
    types.push_back(ReadK8PacketHeader(entry.packet)->type);
    sequences.push_back(ReadK8PacketHeader(entry.packet)->sequence);
  }
  EXPECT_THAT(types,
              ElementsAre(kK8StationEventType, kK8Hello, kK8PortState, kK8FirstNumber, kK8Version));
  EXPECT_THAT(sequences, ElementsAre(0, 1, 2, 3, 4));
  Collect();
  EXPECT_THAT(Taken(Kind::kStatus),
              ElementsAre("Соединение...", "Соединение...", "Соединение установлено."));
}

TEST_F(K8SessionTest, PollsOnlyAfterPollEnableAndMoreThanHalfASecondApart) {
  Greeted();
  now_ += 60000;
  EXPECT_EQ(Next().kind, K8Order::kWait);
  EXPECT_FALSE(Next().timed);  // nothing falls due: only a queued packet wakes it

  QueueEvent("");
  Send();
  Reply(kK8PollEnable);
  EXPECT_TRUE(session_.poll_enabled());
  EXPECT_EQ(Send().type, kK8Poll);  // long idle: the first poll goes at once
  const uint32_t polled_at = now_;
  Reply(kK8Poll, Bytes{0});
  const K8Order wait = Next();
  ASSERT_EQ(wait.kind, K8Order::kWait);
  ASSERT_TRUE(wait.timed);
  EXPECT_EQ(wait.until, polled_at + 501);
  now_ = wait.until - 1;
  EXPECT_EQ(Next().kind, K8Order::kWait);
  now_ = wait.until;
  const K8PacketHeader poll = Send();
  EXPECT_EQ(poll.type, kK8Poll);
  EXPECT_EQ(poll.sequence, 0);
  EXPECT_EQ(ring_.next_sequence(), 5);  // polls are not numbered

  // A poll reply's retranslator request, then a query that queues its answer.
  Reply(kK8Poll, BuildPollReply({{0x111, {1}}, {kK8RetQuery, {0, 0, 0, 0, 0}}}));
  EXPECT_THAT(Taken(Kind::kRetQuery), IsEmpty());
  now_ += 501;
  Send();
  Reply(kK8Poll, BuildPollReply({{0x111, {1}}, {kK8RetQuery, {0, 0, 0, 0, 1}}}));
  EXPECT_THAT(Taken(Kind::kRetQuery), ElementsAre(""));
  now_ += 501;
  Send();
  Reply(kK8Query);
  const K8PacketHeader answer = Send();  // goes before the next poll
  EXPECT_EQ(answer.type, kK8QueryAnswer);
  EXPECT_EQ(answer.sequence, 5);
}

TEST_F(K8SessionTest, OnlyTheAckOfAPacketDeletesItsFile) {
  Greeted();
  QueueEvent("a.dd8");
  QueueEvent("b.dd8");
  QueueEvent("c.dd8");
  Send();
  Reply(kK8EventAck);
  Send();
  Reply(0x7E000000);  // answered, but not acknowledged
  Send();
  Reply(kK8PollEnable);
  EXPECT_THAT(Taken(Kind::kAcked), ElementsAre("a.dd8"));
  EXPECT_THAT(Taken(Kind::kRefused), ElementsAre("b.dd8", "c.dd8"));
  EXPECT_THAT(Taken(Kind::kReleased), IsEmpty());
  EXPECT_TRUE(ring_.Empty());

  // A reply without its markers is no acknowledgement either, and costs no error.
  QueueEvent("d.dd8");
  Send();
  Bytes broken = BuildK8Packet(kK8EventAck, ByteView(), 0);
  broken[17] = 0;
  session_.OnReply(now_, broken);
  Collect();
  EXPECT_THAT(Taken(Kind::kRefused), ElementsAre("b.dd8", "c.dd8", "d.dd8"));
  EXPECT_EQ(session_.network_errors(), 0);
  EXPECT_TRUE(session_.link_up());
}

TEST_F(K8SessionTest, EveryFailedEndReleasesTheFileAndDropsTheStream) {
  const K8ReplyFailure failures[] = {K8ReplyFailure::kTimedOut, K8ReplyFailure::kClosed,
                                     K8ReplyFailure::kBadHeader, K8ReplyFailure::kTooLarge};
  int round = 0;
  for (const K8ReplyFailure failure : failures) {
    Greeted();
    const std::string file = std::to_string(round++) + ".dd8";
    QueueEvent(file);
    Send();
    session_.OnReplyFailed(now_, failure);
    Collect();
    EXPECT_THAT(Taken(Kind::kReleased), ElementsAre(file));
    EXPECT_THAT(Taken(Kind::kAcked), IsEmpty());
    // A late reply must not be taken for the next packet's: the connection goes.
    EXPECT_THAT(Taken(Kind::kClose), ElementsAre(""));
    EXPECT_EQ(Taken(Kind::kLinkDown).size(), 1u);
    EXPECT_FALSE(session_.link_up());
    EXPECT_EQ(Next().kind, K8Order::kWait);  // the full pause before the next attempt
  }
  EXPECT_EQ(session_.network_errors(), 4);
}

TEST_F(K8SessionTest, AFailedWriteKeepsThePacketAtTheHeadForTheNextConnection) {
  Greeted();
  QueueEvent("a.dd8");
  const K8Order order = Next();
  ASSERT_EQ(order.kind, K8Order::kExchange);
  session_.OnWriteFailed(now_, "reset");
  Collect();
  EXPECT_THAT(Taken(Kind::kReleased), IsEmpty());  // still the ring's
  EXPECT_FALSE(session_.link_up());
  EXPECT_EQ(ring_.Count(), 1);
  Connect();
  const K8PacketHeader first = Send();
  EXPECT_EQ(first.type, kK8StationEventType);
  Reply(kK8EventAck);
  EXPECT_THAT(Taken(Kind::kAcked), ElementsAre("a.dd8"));
  EXPECT_EQ(Send().type, kK8Hello);
}

TEST_F(K8SessionTest, ServerCommandsEndTheConnectionEachInItsWay) {
  // K8Reconnect: closed now, attempted again after more than the pause.
  Greeted();
  QueueEvent("r.dd8");
  Send();
  Reply(kK8Reconnect);
  EXPECT_THAT(Taken(Kind::kReleased), ElementsAre("r.dd8"));
  EXPECT_THAT(Taken(Kind::kClose), ElementsAre(""));
  now_ += 5000;
  EXPECT_EQ(Next().kind, K8Order::kWait);
  effects_.clear();

  // K8ServerDisconnect: its line; the connection is closed only by the next attempt.
  Greeted();
  QueueEvent("s.dd8");
  Send();
  Reply(kK8ServerDisconnect);
  EXPECT_THAT(Taken(Kind::kStatus), ElementsAre("Сервер дал команду на рассоединение."));
  EXPECT_THAT(Taken(Kind::kReleased), ElementsAre("s.dd8"));
  EXPECT_THAT(Taken(Kind::kClose), IsEmpty());
  EXPECT_FALSE(session_.link_up());
  effects_.clear();

  // K8Denied: no attempt ever again, one line.
  Greeted();
  QueueEvent("d.dd8");
  Send();
  Reply(kK8Denied);
  EXPECT_THAT(Taken(Kind::kReleased), ElementsAre("d.dd8"));
  EXPECT_THAT(Taken(Kind::kClose), ElementsAre(""));
  for (int i = 0; i < 3; ++i) {
    now_ += 60000;
    const K8Order order = Next();
    EXPECT_EQ(order.kind, K8Order::kWait);
    EXPECT_FALSE(order.timed);
  }
  EXPECT_THAT(Taken(Kind::kStatus), ElementsAre("Доступ запрещен."));
}

TEST_F(K8SessionTest, MoreThanTwentyErrorsBringANewConnection) {
  Greeted();
  // The count survives connections: 21 failed writes, each on a fresh connection.
  for (int i = 0; i < 21; ++i) {
    QueueEvent("");
    ASSERT_EQ(Next().kind, K8Order::kExchange);
    session_.OnWriteFailed(now_, "reset");
    ring_.TakeAll();
    Connect();
    ring_.TakeAll();
  }
  EXPECT_EQ(session_.network_errors(), 21);
  effects_.clear();
  EXPECT_EQ(Next().kind, K8Order::kWait);
  EXPECT_THAT(Taken(Kind::kStatus), ElementsAre("Ошибки по сети - переподсоединение."));
  EXPECT_FALSE(session_.link_up());
  EXPECT_EQ(session_.network_errors(), 0);
  now_ += 5001;
  EXPECT_EQ(Next().kind, K8Order::kConnect);
}

// With a backup: two failed attempts on the primary send the third to the backup, and while
// neither answers attempts alternate. On the backup the primary is tried every failback time,
// only between exchanges; when it accepts, the link is on it with a new greeting. A primary
// that accepts and never answers counts as failing too.
TEST_F(K8SessionTest, FailsOverToTheBackupAndTakesThePrimaryBackBetweenExchanges) {
  session_.SetHasBackup(true);
  auto attempt = [&] {
    now_ += 5001;
    EXPECT_EQ(Next().kind, K8Order::kConnect);
    return session_.server();
  };
  std::vector<Server> tried;
  for (int i = 0; i < 5; ++i) {
    tried.push_back(attempt());
    session_.OnConnectFailed(now_);
  }
  EXPECT_THAT(tried, ElementsAre(Server::kPrimary, Server::kPrimary, Server::kBackup,
                                 Server::kPrimary, Server::kBackup));
  EXPECT_EQ(attempt(), Server::kPrimary);
  session_.OnConnectFailed(now_);
  EXPECT_EQ(attempt(), Server::kBackup);
  EXPECT_TRUE(session_.OnConnected(now_, {"COM3", true, 260}));  // a switch worth saying
  const uint32_t on_backup = now_;
  for (int i = 0; i < 4; ++i) {
    Send();
    Reply(0x7E000000);
  }
  // Idle on the backup, the link wakes for the try of the primary a failback time later.
  EXPECT_EQ(Next().until, on_backup + kDefaultFailbackMs);
  QueueEvent("a.dd8");
  now_ = on_backup + kDefaultFailbackMs;
  EXPECT_EQ(Next().kind, K8Order::kProbe);
  EXPECT_EQ(Send().type, kK8StationEventType);  // exchanges go on while the try is under way
  Reply(kK8EventAck);
  EXPECT_TRUE(session_.TakesProbe());
  EXPECT_THAT(Taken(Kind::kAcked), ElementsAre("a.dd8"));
  session_.OnProbeEnded(now_, false, {});
  EXPECT_EQ(Next().until, now_ + kDefaultFailbackMs);  // the next try a whole time later
  now_ += kDefaultFailbackMs;
  EXPECT_EQ(Next().kind, K8Order::kProbe);
  session_.OnProbeEnded(now_, true, {"COM3", true, 260});
  EXPECT_EQ(session_.server(), Server::kPrimary);
  EXPECT_TRUE(session_.link_up());
  EXPECT_EQ(Send().type, kK8Hello);  // the primary's connection starts with its greeting
  Reply(0x7E000000);
  for (int i = 0; i < 3; ++i) {
    Send();
    Reply(0x7E000000);
  }

  // The primary answered, then stalls: the loss is one failure; the next attempt connects to
  // a primary that never answers: the second, and the link goes to the backup.
  now_ += 100;
  QueueEvent("b.dd8");
  Send();
  session_.OnReplyFailed(now_, K8ReplyFailure::kTimedOut);
  EXPECT_EQ(attempt(), Server::kPrimary);
  EXPECT_FALSE(session_.OnConnected(now_, {"COM3", true, 260}));
  Send();
  session_.OnReplyFailed(now_, K8ReplyFailure::kTimedOut);
  EXPECT_EQ(attempt(), Server::kBackup);

  // A backup taken away from the configuration: every attempt is the primary's again.
  session_.OnConnectFailed(now_);
  session_.SetHasBackup(false);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(attempt(), Server::kPrimary);
    session_.OnConnectFailed(now_);
  }
}

TEST_F(K8SessionTest, StopReleasesThePacketInFlightAndPostsTheExitLine) {
  Greeted();
  QueueEvent("a.dd8");
  QueueEvent("b.dd8");
  Send();  // its reply never comes
  session_.Stop("14:05:07.123");
  session_.Stop("14:05:08.000");  // a second request changes nothing
  Collect();
  EXPECT_THAT(Taken(Kind::kReleased), ElementsAre("a.dd8"));
  EXPECT_THAT(Taken(Kind::kClose), ElementsAre(""));
  EXPECT_THAT(Taken(Kind::kStatus), ElementsAre("выход - 14:05:07.123"));
  EXPECT_EQ(Next().kind, K8Order::kFinish);
  EXPECT_EQ(ring_.Count(), 1);  // b stays for the close to keep
  EXPECT_FALSE(session_.link_up());
}

}  // namespace
}  // namespace qarn
