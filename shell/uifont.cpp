#include "uifont.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStringList>
#include <QStyle>
#include <QStyleOption>
#include <QTextLayout>

#include <algorithm>

namespace vtrl {

namespace {

constexpr int kLargestPx = 11;
constexpr int kSmallestPx = 8;   // below this the layout's text is no longer readable

// The widest fixed-width texts of the layout and the room they have: a
// first choice before any page exists.
bool fits(const QFont& font)
{
    const QFontMetrics m(font);
    return m.horizontalAdvance(QStringLiteral("Config Local Device")) <= 98
        && m.horizontalAdvance(QStringLiteral(
               "complete.  After selecting \"Finish\", turn off the Cable Replacement Devices, connect "))
               <= 405;
}

QFont build()
{
    const QStringList wanted = {
        QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
        QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
        QStringLiteral("Nimbus Sans Narrow"), QStringLiteral("Liberation Sans"),
        QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")};
    const QStringList present = QFontDatabase::families();
    QString family = QStringLiteral("Sans Serif");
    for (const QString& f : wanted) {
        if (present.contains(f, Qt::CaseInsensitive)) {
            family = f;
            break;
        }
    }
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setStyleStrategy(QFont::PreferAntialias);
    for (int px = kLargestPx; px >= kSmallestPx; --px) {
        font.setPixelSize(px);
        if (fits(font))
            return font;
    }
    return font;
}

QFont& chosen()
{
    static QFont font = build();
    return font;
}

// Lines laid out in `width` as a text box lays them out.
int linesIn(const QString& text, const QFont& font, qreal width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    int lines = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        ++lines;
    }
    layout.endLayout();
    return std::max(lines, 1);
}

int advance(const QWidget& w, const QString& text)
{
    return w.fontMetrics().horizontalAdvance(QString(text).remove(QLatin1Char('&')));
}

// Room for the text in a button's, check box's or radio button's box.
int buttonRoom(const QAbstractButton& b)
{
    QStyleOptionButton option;
    option.initFrom(&b);
    option.text = b.text();
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    if (qobject_cast<const QCheckBox*>(&b))
        contents = QStyle::SE_CheckBoxContents;
    else if (qobject_cast<const QRadioButton*>(&b))
        contents = QStyle::SE_RadioButtonContents;
    return b.style()->subElementRect(contents, &option, &b).width();
}

bool memoFits(const QPlainTextEdit& memo)
{
    const QStringList lines = memo.toPlainText().split(QLatin1Char('\n'));
    const int frame = memo.frameWidth();
    const qreal margin = memo.document()->documentMargin();
    const int height = memo.height() - 2 * frame - static_cast<int>(2 * margin);
    if (static_cast<int>(lines.size()) * memo.fontMetrics().lineSpacing() > height)
        return false;   // it would scroll
    // The text box keeps a cursor's width free at the end of a line.
    const qreal width = memo.width() - 2 * frame - 2 * margin - memo.cursorWidth();
    for (const QString& line : lines)
        if (linesIn(line, memo.font(), width) > 1)
            return false;
    return true;
}

void check(const QWidget& w, QStringList& unfit)
{
    const auto note = [&](const QString& text) {
        unfit << QStringLiteral("%1: %2").arg(w.objectName().isEmpty() ? QString::fromLatin1(w.metaObject()->className())
                                                                        : w.objectName(),
                                              text);
    };
    if (const auto* label = qobject_cast<const QLabel*>(&w)) {
        const QString text = label->text();
        if (text.isEmpty() || label->textFormat() == Qt::RichText)
            return;
        const QRect room = label->contentsRect().adjusted(label->margin(), label->margin(), -label->margin(),
                                                           -label->margin());
        if (label->wordWrap()) {
            const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, room.width(), 10000),
                                                                   Qt::TextWordWrap | label->alignment(), text);
            if (needed.height() > room.height())
                note(text);
            return;
        }
        for (const QString& line : text.split(QLatin1Char('\n')))
            if (label->fontMetrics().horizontalAdvance(line) > room.width()) {
                note(text);
                return;
            }
        return;
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&w)) {
        if (!button->text().isEmpty() && advance(*button, button->text()) > buttonRoom(*button))
            note(button->text());
        return;
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(&w)) {
        // The title sits in the frame's top edge, with a gap on either side.
        if (!group->title().isEmpty() && advance(*group, group->title()) + 16 > group->width())
            note(group->title());
        return;
    }
    if (const auto* memo = qobject_cast<const QPlainTextEdit*>(&w)) {
        if (memo->isReadOnly() && !memoFits(*memo))
            note(memo->toPlainText().section(QLatin1Char('\n'), 0, 0) + QStringLiteral("..."));
    }
}

}  // namespace

QFont WizardFont()
{
    return chosen();
}

QStringList TextsThatDoNotFit(const QWidget& root)
{
    QStringList unfit;
    check(root, unfit);
    for (const QWidget* w : root.findChildren<QWidget*>())
        check(*w, unfit);
    return unfit;
}

void FitWizardFont(const QList<QWidget*>& roots)
{
    QFont font = build();
    for (int px = font.pixelSize(); px >= kSmallestPx; --px) {
        font.setPixelSize(px);
        bool all = true;
        for (QWidget* root : roots) {
            root->setFont(font);
            all = all && TextsThatDoNotFit(*root).isEmpty();
        }
        if (all)
            break;
    }
    chosen() = font;
    QApplication::setFont(font);
}

}  // namespace vtrl
