#include "ui/qt/qt_form_window.h"

#include <algorithm>
#include <cmath>

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "model/document.h"
#include "form/control_ids.h"
#include "form/pictures.h"

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }

QIcon IconOf(int resourceId) {
    if (resourceId == 0) return {};
    const IconPixels px = MakeIcon(resourceId);
    QImage image(reinterpret_cast<const uchar*>(px.data()), ICON_SIZE, ICON_SIZE, QImage::Format_ARGB32);
    return QIcon(QPixmap::fromImage(image.copy()));
}

// The contrast ratio of two colours (1 to 21), from their relative luminance.
double Contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace

void CFormWindow::ColourNotes() {
    const QColor red(0xA0, 0x00, 0x00);
    const QPalette theme = palette();
    const QColor colour = Contrast(red, theme.color(QPalette::Window)) >= 4.5 ? red : theme.color(QPalette::WindowText);
    for (int id : {ids::NOTE_1, ids::NOTE_2, ids::NOTE_3}) {
        QWidget* note = Control(id);
        if (!note) continue;
        QPalette p = note->palette();
        p.setColor(QPalette::WindowText, colour);
        note->setPalette(p);
    }
}

void CFormWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::PaletteChange) ColourNotes();
    QWidget::changeEvent(event);
}

QImage CFormWindow::PictureImage(int kind) {
    const PicturePixels px = MakePicture(kind);
    QImage image(reinterpret_cast<const uchar*>(px.data()), PICTURE_WIDTH, PICTURE_HEIGHT, QImage::Format_ARGB32);
    return image.copy();
}

CFormWindow::CFormWindow(CFormModel& form, Actions actions, QWidget* parent)
    : QWidget(parent), m_form(form), m_actions(std::move(actions)) {
    setWindowTitle(QString::fromUtf8(WINDOW_TITLE));

    auto* grid = new QGridLayout();
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(10);

    auto label = [this](int id) {
        auto* l = new QLabel(this);
        m_widgets[id] = l;
        return l;
    };
    // Status line with its label and the state picture.
    QLabel* statusLabel = label(ids::LABEL_STATUS);
    statusLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* status = new QPlainTextEdit(this);
    status->setReadOnly(true);
    status->setFocusPolicy(Qt::NoFocus);
    status->setLineWrapMode(QPlainTextEdit::NoWrap);
    status->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    status->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    status->setFixedSize(360, 2 * status->fontMetrics().lineSpacing() + 12);
    m_widgets[ids::STATUS_0] = status;
    QLabel* picture = label(ids::PICTURE_0);
    picture->setFixedSize(PICTURE_WIDTH, PICTURE_HEIGHT);
    grid->addWidget(statusLabel, 0, 0);
    grid->addWidget(status, 0, 1);
    grid->addWidget(picture, 0, 2, Qt::AlignCenter);

    // Progress bar with its label and "%d/100".
    QLabel* progressLabel = label(ids::LABEL_PROGRESS);
    progressLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* bar = new QProgressBar(this);
    bar->setTextVisible(false);
    bar->setFixedSize(360, 18);
    m_widgets[ids::PROGRESS_0] = bar;
    QLabel* progressText = label(ids::PROGRESS_TEXT_0);
    progressText->setMinimumWidth(56);
    grid->addWidget(progressLabel, 1, 0);
    grid->addWidget(bar, 1, 1);
    grid->addWidget(progressText, 1, 2);

    // The Download button.
    auto* download = new QPushButton(this);
    download->setFixedSize(110, 30);
    download->setIconSize(QSize(ICON_SIZE, ICON_SIZE));
    download->setAutoDefault(false);
    m_widgets[ids::DOWNLOAD_0] = download;
    connect(download, &QPushButton::clicked, this, [this] {
        if (m_actions.command) m_actions.command(ids::DOWNLOAD_0);
    });
    auto* buttonRow = new QHBoxLayout();
    buttonRow->addStretch(1);
    buttonRow->addWidget(download);
    buttonRow->addStretch(1);

    // The three notes.
    auto* notes = new QVBoxLayout();
    notes->setSpacing(4);
    for (int id : {ids::NOTE_1, ids::NOTE_2, ids::NOTE_3}) {
        notes->addWidget(label(id));
    }

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(18, 16, 18, 14);
    top->setSpacing(12);
    top->addLayout(grid);
    top->addLayout(buttonRow);
    top->addLayout(notes);

    // The task's time line under the form, one line high whether it shows text or not.
    QLabel* timeLine = label(ids::TIME_LINE);
    timeLine->setFrameShape(QFrame::StyledPanel);
    timeLine->setFrameShadow(QFrame::Sunken);
    timeLine->setFixedHeight(timeLine->fontMetrics().lineSpacing() + 6);
    top->addWidget(timeLine);

    for (auto& [id, w] : m_widgets) w->setObjectName(QString::number(id));
    RefreshAll();
    ColourNotes();
    setFixedSize(sizeHint().expandedTo(QSize(520, 0)));

    // Changes may come from any thread: redraw on the GUI thread (dropped once the window is gone).
    m_nListener = m_form.AddListener([this](const ControlEvent& e) {
        if (m_widgets.count(e.id) == 0) return;
        const int id = e.id;
        QMetaObject::invokeMethod(this, [this, id] { Refresh(id); }, Qt::QueuedConnection);
    });
}

CFormWindow::~CFormWindow() { m_form.RemoveListener(m_nListener); }

QWidget* CFormWindow::Control(int id) const {
    const auto it = m_widgets.find(id);
    return it == m_widgets.end() ? nullptr : it->second;
}

void CFormWindow::RefreshAll() {
    for (const auto& [id, w] : m_widgets) Refresh(id);
}

void CFormWindow::Refresh(int id) {
    QWidget* w = Control(id);
    if (!w) return;
    const ControlState s = m_form.Get(id);
    w->setEnabled(s.bEnabled);
    switch (s.kind) {
        case ControlKind::Edit:
            if (auto* edit = dynamic_cast<QPlainTextEdit*>(w)) {
                if (edit->toPlainText() != Q(s.text)) edit->setPlainText(Q(s.text));
            }
            break;
        case ControlKind::Button:
            if (auto* button = dynamic_cast<QPushButton*>(w)) {
                button->setText(Q(s.text));
                button->setIcon(IconOf(s.nImage));
            }
            break;
        case ControlKind::Progress:
            if (auto* bar = dynamic_cast<QProgressBar*>(w)) {
                bar->setRange(s.nMin, s.nMax);
                bar->setValue(s.nPos);
            }
            break;
        case ControlKind::Picture:
            if (auto* pic = dynamic_cast<QLabel*>(w)) {
                if (s.nPicture < 0) pic->clear();
                else pic->setPixmap(QPixmap::fromImage(PictureImage(s.nPicture)));
            }
            break;
        default:
            if (auto* l = dynamic_cast<QLabel*>(w)) l->setText(Q(s.text));
            break;
    }
}

void CFormWindow::CloseForced() {
    m_bForced = true;
    close();
}

void CFormWindow::closeEvent(QCloseEvent* event) {
    if (!m_bForced && m_actions.close && !m_actions.close()) {
        event->ignore();
        return;
    }
    m_bForced = true;
    event->accept();
    if (m_actions.closed) m_actions.closed();
}

void CFormWindow::keyPressEvent(QKeyEvent* event) {
    int key = 0;
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: key = ids::KEY_ENTER; break;
        case Qt::Key_Escape: key = ids::KEY_ESCAPE; break;
        default: break;
    }
    if (key != 0 && m_actions.key && m_actions.key(key)) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}
