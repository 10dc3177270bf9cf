// The main window's side of the device link: owning the port, the path from
// a port event to the packet receiver, and who gets each answer.

#include "mainform.h"

#include "platform/pump.h"
#include "platform/windowmessage.h"
#include "shell/reply.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstring>
#include <exception>

namespace vtrl {

int TfrmMain::OpenPort(int n)
{
    // A handler run inside the pause may open a port of its own; that one is
    // closed too, so that only the port opened below is ever held.
    while (link_.IsOpen()) {
        ClosePort();
        // Lets the closed port's queued events run (their reads are refused)
        // before another port starts posting.
        platform::PumpMessagesFor(DrainMs);
    }
    try {
        PortHandle = link_.Open(n > 0 ? static_cast<std::uint32_t>(n) : 0, [this](const SerialEvent& event) {
            PortEventCallback(event.handle, &event, this);
        });
    } catch (const std::exception&) {
        link_.Close();
        PortHandle = -1;
    }
    if (PortHandle <= 0)
        return -1;
    OpenedPort = n;
    return 0;
}

void TfrmMain::ClosePort()
{
    link_.Close();
    PortHandle = -1;
}

int TfrmMain::PortEventCallback(std::int32_t, const SerialEvent* event, void* context)
{
    if (!event || !context)
        return 0;
    platform::Payload copy(sizeof(SerialEvent));
    std::memcpy(copy.data(), event, sizeof(SerialEvent));
    // The copy is freed with the event if the post does not happen.
    return platform::PostWindowMessage(static_cast<TfrmMain*>(context), platform::WM_COMEVENT, std::move(copy)) ? 1
                                                                                                                : 0;
}

void TfrmMain::ProcessCOMEvent(const SerialEvent& event)
{
    // A closed port's events may still be queued: they are not this port's.
    if (event.kind == SERIAL_EVENT_HANGUP && event.handle == PortHandle && PortHandle > 0) {
        PortGone();
        return;
    }
    if (event.kind == SERIAL_EVENT_DATA && event.handle == PortHandle)
        ReadArrived();
}

void TfrmMain::ReadArrived()
{
    link_.Drain();
}

bool TfrmMain::event(QEvent* event)
{
    if (event->type() == static_cast<QEvent::Type>(platform::WM_COMEVENT)) {
        auto* message = static_cast<platform::WindowMessage*>(event);
        const std::optional<platform::Payload> block = message->takePayload();
        if (block && block->size() == sizeof(SerialEvent)) {
            SerialEvent record;
            std::memcpy(&record, block->data(), sizeof record);
            ProcessCOMEvent(record);
        }
        return true;
    }
    return QWidget::event(event);
}

bool TfrmMain::Answers::Answer(protocol::Notification notification, protocol::Tag tag)
{
    return main_.Dispatch(std::move(notification), std::move(tag));
}

bool TfrmMain::Dispatch(protocol::Notification notification, protocol::Tag tag)
{
    // An answer that may be any of several sends goes to each page that sent
    // one of them: each of those no longer knows what came of its own.
    if (tag.verdict == protocol::Verdict::Ambiguous) {
        std::vector<QObject*> owners;
        for (const protocol::Exchange& e : tag.candidates)
            if (QObject* o = OwnerObject(e.owner); o && std::find(owners.begin(), owners.end(), o) == owners.end())
                owners.push_back(o);
        if (owners.empty() && NotifyWindow())
            owners.push_back(NotifyWindow());
        for (QObject* o : owners)
            QCoreApplication::postEvent(o, new NotificationMessage(Reply{notification.message, notification.block, tag}));
        return !owners.empty();
    }
    // A Confirmation no send explains says the device carried out a command
    // the wizard does not know of: every page hears it, in its turn, and
    // forgets what it believed the device holds of that command's settings.
    if (notification.message == protocol::MsgConfirmation && tag.verdict != protocol::Verdict::Answer) {
        bool posted = false;
        for (const PageStep& row : table_)
            if (TWizardChildForm* page = row.page ? row.page() : nullptr) {
                QCoreApplication::postEvent(page, new NotificationMessage(Reply{notification.message, notification.block, tag}));
                posted = true;
            }
        if (posted)
            return true;
    }
    // An answer goes to the page that sent what it answers, wherever the
    // wizard is by then; the page on show gets what nobody asked for.
    QObject* target = tag.exchange ? OwnerObject(tag.exchange->owner) : nullptr;
    if (!target)
        target = NotifyWindow();
    if (!target)
        return false;
    QCoreApplication::postEvent(target,
                                new NotificationMessage(Reply{notification.message, std::move(notification.block), std::move(tag)}));
    return true;
}

void TfrmMain::DeviceIdentified(const DeviceAddress& address)
{
    link_.DeviceIdentified(address);
}

void TfrmMain::PortGone()
{
    // Every page stops waiting and counts what the device held as unsent.
    // What the device would have answered went to the line that is gone: a
    // device that comes back answers nothing it was sent before.
    for (const PageStep& row : table_)
        if (TWizardChildForm* page = row.page ? row.page() : nullptr)
            page->PortGone(OpenedPort, page == ShownPage());
    link_.Hangup();
    PortHandle = -1;
    // Back leads to the COM port page, to select the port once it is back.
    if (ShownPage() != nullptr)
        btnBack.setEnabled(true);
}

protocol::CommandSender& TfrmMain::Commands(const QObject* sender)
{
    return link_.Commands(OwnerOf(sender));
}

protocol::Owner TfrmMain::OwnerOf(const QObject* sender)
{
    if (!sender)
        return 0;
    for (std::size_t i = 0; i < owners_.size(); ++i)
        if (owners_[i] == sender)
            return static_cast<protocol::Owner>(i + 1);
    owners_.emplace_back(const_cast<QObject*>(sender));
    return static_cast<protocol::Owner>(owners_.size());
}

QObject* TfrmMain::OwnerObject(protocol::Owner owner) const
{
    return owner > 0 && owner <= owners_.size() ? owners_[owner - 1].data() : nullptr;
}

}  // namespace vtrl
