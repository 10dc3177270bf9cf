#include "platform/messagebox.h"
#include "platform/pump.h"
#include "platform/windowmessage.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QPointer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "demo/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace vtrl::platform;

namespace {

// Records the window messages it receives, taking each payload as a page does.
class Receiver : public QObject {
public:
    struct Got {
        int message;
        std::optional<Payload> payload;
        Qt::HANDLE thread;
    };
    std::vector<Got> got;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() >= QEvent::User) {
            auto* m = static_cast<WindowMessage*>(e);
            got.push_back({m->message(), m->takePayload(), QThread::currentThreadId()});
            return true;
        }
        return QObject::event(e);
    }
};

}  // namespace

TEST(WindowMessages, ArriveWithTheirNumberAndPayload)
{
    Receiver r;
    ASSERT_TRUE(PostWindowMessage(&r, 32771, Payload{1, 2, 3, 4, 5, 6}));
    ASSERT_TRUE(PostWindowMessage(&r, WM_COMEVENT, std::nullopt));
    ASSERT_TRUE(vtrl::demo::WaitUntil([&] { return r.got.size() == 2u; }));
    EXPECT_EQ(r.got[0].message, 32771);
    EXPECT_EQ(r.got[0].payload, (Payload{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(r.got[1].message, WM_COMEVENT);
    EXPECT_FALSE(r.got[1].payload.has_value());
}

TEST(WindowMessages, TakenPayloadLeavesTheEventEmpty)
{
    WindowMessage m(32770, Payload(100, 0));
    auto taken = m.takePayload();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->size(), 100u);
    EXPECT_FALSE(m.hasPayload());
    EXPECT_FALSE(m.takePayload().has_value());
}

// The payloads below are freed on the refusing path; the ASan build's leak
// check is what sees a block that is not.
TEST(WindowMessages, NullOrDestroyedTargetIsRefusedAndFreesThePayload)
{
    EXPECT_FALSE(PostWindowMessage(nullptr, 32769, Payload(350, 0xAA)));
    QPointer<QObject> gone;
    {
        auto target = std::make_unique<QObject>();
        gone = target.get();
    }
    EXPECT_FALSE(PostWindowMessage(gone.data(), 32769, Payload(9, 0)));
}

TEST(WindowMessages, TargetDestroyedWhileQueuedDropsTheMessage)
{
    auto r = std::make_unique<Receiver>();
    ASSERT_TRUE(PostWindowMessage(r.get(), 32772, Payload(64, 1)));
    r.reset();
    QCoreApplication::processEvents();  // nothing left to deliver, nothing leaks
    SUCCEED();
}

TEST(WindowMessages, PostedFromAnotherThreadAreHandledOnTheTargetsThread)
{
    Receiver r;
    std::thread poster([&] {
        for (int i = 0; i < 50; ++i)
            PostWindowMessage(&r, WM_COMEVENT, Payload(9, static_cast<std::uint8_t>(i)));
    });
    poster.join();
    ASSERT_TRUE(vtrl::demo::WaitUntil([&] { return r.got.size() == 50u; }));
    for (std::size_t i = 0; i < r.got.size(); ++i) {
        EXPECT_EQ(r.got[i].thread, QThread::currentThreadId());
        EXPECT_EQ((*r.got[i].payload)[0], i) << "messages from one thread keep their order";
    }
}

TEST(WindowMessages, NumbersAreReservedWithQt)
{
    RegisterWindowMessageTypes();
    EXPECT_NE(QEvent::registerEventType(WM_COMEVENT), WM_COMEVENT);
    EXPECT_NE(QEvent::registerEventType(FirstNotification), FirstNotification);
    EXPECT_NE(QEvent::registerEventType(LastNotification), LastNotification);
}

TEST(MessagePumps, PumpForDeliversEventsTakesTheWholeSpanAndSleepsBetweenThem)
{
    Receiver r;
    PostWindowMessage(&r, WM_COMEVENT);
    QTimer::singleShot(100, [&] { PostWindowMessage(&r, WM_COMEVENT); });
    // A pump that polls goes round thousands of times without ever waiting.
    int waits = 0, wakeUps = 0;
    auto* dispatcher = QAbstractEventDispatcher::instance();
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [&] { ++waits; });
    QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeUps; });
    const auto start = std::chrono::steady_clock::now();
    PumpMessagesFor(250);
    const auto took = std::chrono::steady_clock::now() - start;
    QObject::disconnect(dispatcher, nullptr, nullptr, nullptr);
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_EQ(r.got.size(), 2u) << "one queued before the pause, one posted during it";
    EXPECT_GE(waits, 1);
    EXPECT_LE(wakeUps, 50);
}

TEST(MessagePumps, PumpWhileReturnsWhenAnEventClearsTheCondition)
{
    bool running = true;
    QTimer::singleShot(30, [&] { running = false; });
    PumpMessagesWhile([&] { return running; });
    EXPECT_FALSE(running);
}

TEST(ScriptedBoxes, RecordEveryBoxAndAnswerFromTheQueueThenTheDefault)
{
    QWidget owner;
    ScriptedMessageBoxes boxes(mrNo);
    boxes.queue(mrYes);
    boxes.queue(mrRetry);
    EXPECT_EQ(ShowMessageBox(&owner, "a", "A", MbButtons::YesNo, MbIcon::Question), mrYes);
    EXPECT_EQ(ShowMessageBox(&owner, "b", "B", MbButtons::RetryCancel), mrRetry);
    EXPECT_EQ(ShowMessageBox(nullptr, "c", "C", MbButtons::YesNo), mrNo);
    ASSERT_EQ(boxes.boxes().size(), 3u);
    const auto& first = boxes.boxes()[0];
    EXPECT_EQ(first.owner, &owner);
    EXPECT_EQ(first.text, "a");
    EXPECT_EQ(first.caption, "A");
    EXPECT_EQ(first.buttons, MbButtons::YesNo);
    EXPECT_EQ(first.icon, MbIcon::Question);
    EXPECT_EQ(boxes.boxes()[1].icon, MbIcon::None);
}

TEST(ScriptedBoxes, NestedFakesRestoreTheOuterOne)
{
    ScriptedMessageBoxes outer;
    {
        ScriptedMessageBoxes inner;
        ShowMessageBox(nullptr, "inner", "x", MbButtons::Ok);
        EXPECT_EQ(inner.boxes().size(), 1u);
    }
    ShowMessageBox(nullptr, "outer", "x", MbButtons::Ok);
    ASSERT_EQ(outer.boxes().size(), 1u);
    EXPECT_EQ(outer.boxes()[0].text, "outer");
}
