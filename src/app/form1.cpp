#include "app/form1.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QScrollBar>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>
#include <cstddef>
#include <iterator>

#include "about/about_box.h"
#include "about/help.h"
#include "app/colors.h"
#include "app/startup.h"
#include "app/video_frame_widget.h"
#include "jobs/client_copy.h"
#include "jobs/join_run.h"
#include "jobs/polling.h"
#include "jobs/slots.h"
#include "meters/meters.h"
#include "network/network_list.h"
#include "platform/dialogs_qt.h"
#include "profiles/profile_catalogue.h"
#include "run/run_control.h"
#include "source/preview_player.h"
#include "source/source_selection.h"
#include "source/trim_markers.h"

namespace shardex {
namespace {

template <typename T>
T* named(T* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, const QString& tip = {}) {
    auto* b = named(new QPushButton(caption, parent), name);
    if (!tip.isEmpty()) b->setToolTip(tip);
    b->setAutoDefault(false);
    return b;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption) {
    auto* l = named(new QLabel(caption, parent), name);
    l->setTextFormat(Qt::PlainText);
    return l;
}

QLineEdit* text_box(QWidget* parent, const char* name, const QString& text = {}, const QString& tip = {}) {
    auto* t = named(new QLineEdit(text, parent), name);
    if (!tip.isEmpty()) t->setToolTip(tip);
    return t;
}

QProgressBar* progress(QWidget* parent, const char* name, int max) {
    auto* p = named(new QProgressBar(parent), name);
    p->setRange(0, max);
    p->setValue(0);
    p->setTextVisible(false);
    return p;
}

QTimer* timer(QObject* parent, const char* name, int interval) {
    auto* t = named(new QTimer(parent), name);
    t->setInterval(interval);
    return t;
}

QComboBox* combo(QWidget* parent, const char* name, const QString& tip = {}) {
    auto* c = named(new QComboBox(parent), name);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    if (!tip.isEmpty()) c->setToolTip(tip);
    return c;
}

// Margins and spacing inside a group box: small, so that the whole window fits a 1366 x 768
// screen with its task bar.
void tighten(QGridLayout* g) {
    g->setContentsMargins(6, 2, 6, 4);
    g->setHorizontalSpacing(6);
    g->setVerticalSpacing(2);
}

// Controls of one slot panel, laid out alike for the three slots.
void lay_out_slot(const SlotRef& p) {
    auto* g = new QGridLayout(p.frame);
    tighten(g);
    g->addWidget(p.chooser, 0, 0, 1, 3);
    g->addWidget(p.encode, 0, 3);
    g->addWidget(p.loadLabel, 1, 0);
    g->addWidget(p.load, 1, 1);
    g->addWidget(p.timeLabel, 1, 2, Qt::AlignRight);
    g->addWidget(p.clock, 1, 3);
    g->addWidget(p.size, 2, 0, 1, 2);
    g->addWidget(p.media, 2, 2, 1, 2);
    g->addWidget(p.rate, 3, 0, 1, 2);
    g->addWidget(p.speed, 3, 2, 1, 2);
    g->addWidget(p.file, 4, 0, 1, 4);
    g->addWidget(p.bar, 5, 0, 1, 4);
    g->addWidget(p.status, 6, 0, 1, 4);
    p.load->setMaximumWidth(56);
    p.load->setAlignment(Qt::AlignRight);
    p.file->setReadOnly(true);
    p.clock->setAlignment(Qt::AlignCenter);
    p.clock->setMinimumWidth(72);
    QFont mono = p.clock->font();
    mono.setStyleHint(QFont::Monospace);
    mono.setFamily(QStringLiteral("DejaVu Sans Mono"));
    p.clock->setFont(mono);
    p.status->setMinimumHeight(20);
    p.status->setFrameShape(QFrame::Panel);
    p.status->setFrameShadow(QFrame::Sunken);
    p.bar->setMaximumHeight(14);
    g->setColumnStretch(2, 1);
}

}  // namespace

void show_message(Form1& f, const std::string& text) {
    if (f.messageOpen) {
        f.messagesWaiting.push_back(text);
        return;
    }
    f.messageOpen = true;
    f.services.dialogs->message(text, "Shardex", platform::Buttons::Ok);
    while (!f.messagesWaiting.empty()) {
        const std::string next = f.messagesWaiting.front();
        f.messagesWaiting.erase(f.messagesWaiting.begin());
        f.services.dialogs->message(next, "Shardex", platform::Buttons::Ok);
    }
    f.messageOpen = false;
}

void set_timer_enabled(QTimer* t, bool enabled) {
    if (enabled && !t->isActive()) t->start();
    if (!enabled) t->stop();
}

bool timer_enabled(const QTimer* t) { return t->isActive(); }

Form1::Form1(Services s, QWidget* parent) : QWidget(parent), services(std::move(s)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Shardex v0.9 - Larkspur Works"));
    setWindowIcon(QIcon(QStringLiteral(":/shardex/shardex.png")));
    if (!services.dialogs) services.dialogs = platform::create_qt_dialogs(this);
    copies = std::make_unique<ClientCopies>();
    buildControls();
    connectEvents();
}

Form1::~Form1() {
    // Timers and encoder events must not reach a window that is going away.
    for (QTimer* t : {Timer_Counters, TimerLocal, TimerRemote, TimerRemote2, Timer_Playback}) t->stop();
    // Copies still running are cancelled, and their threads joined, while the window is whole.
    copies.reset();
}

void Form1::load() { Form_Load(*this); }

void Form1::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

encoder::Executor Form1::uiExecutor() {
    QPointer<Form1> self(this);
    return [self](std::function<void()> fn) {
        if (self) QMetaObject::invokeMethod(self.data(), std::move(fn), Qt::QueuedConnection);
    };
}

void Form1::buildControls() {
    // ---- source -------------------------------------------------------------------------
    Frame2 = named(new QGroupBox(QStringLiteral("Source: "), this), "Frame2");
    Cmd_File = button(Frame2, "Cmd_File", QStringLiteral("..."), QStringLiteral("Select a source vide"));
    Cmd_File->setMaximumWidth(32);
    TextBox_File = text_box(Frame2, "TextBox_File");
    TextBox_File->setReadOnly(true);
    Label_SourceSize = label(Frame2, "Label_SourceSize", QStringLiteral("Disk Size:"));
    Label_Dimension = label(Frame2, "Label_Dimension", QStringLiteral("Frame:"));
    Label_Length = label(Frame2, "Label_Length", QStringLiteral("Movie Length:"));
    Label19 = label(Frame2, "Label19", QStringLiteral("Bit rate: "));
    {
        auto* g = new QGridLayout(Frame2);
        tighten(g);
        g->addWidget(TextBox_File, 0, 0, 1, 2);
        g->addWidget(Cmd_File, 0, 2);
        g->addWidget(Label_SourceSize, 1, 0);
        g->addWidget(Label_Dimension, 1, 1, 1, 2);
        g->addWidget(Label_Length, 2, 0);
        g->addWidget(Label19, 2, 1, 1, 2);
        g->setColumnStretch(0, 1);
        g->setColumnStretch(1, 1);
    }

    // ---- profile ------------------------------------------------------------------------
    Frame_Profile = named(new QGroupBox(QStringLiteral("Profiles: "), this), "Frame_Profile");
    Combo_Profile = combo(Frame_Profile, "Combo_Profile");
    Combo_Profile->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    Combo_Profile->setMinimumContentsLength(30);
    Combo_Profile->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    Label24 = label(Frame_Profile, "Label24", QStringLiteral("Codec:"));
    Label25 = label(Frame_Profile, "Label25", QStringLiteral("Frame:"));
    Label26 = label(Frame_Profile, "Label26", QStringLiteral("Fps:"));
    Label18 = label(Frame_Profile, "Label18", QStringLiteral("Bit rate:"));
    Label20 = label(Frame_Profile, "Label20", QStringLiteral("Constant or Variable"));
    Label23 = label(Frame_Profile, "Label23", QStringLiteral("Audio:"));
    Label22 = label(Frame_Profile, "Label22", QStringLiteral("Video:"));
    {
        // Three rows, as many as the source group beside it: the list, then the codec and
        // picture, then the bit rates and their mode.
        auto* g = new QGridLayout(Frame_Profile);
        tighten(g);
        g->addWidget(Combo_Profile, 0, 0, 1, 4);
        g->addWidget(Label24, 1, 0, 1, 2);
        g->addWidget(Label25, 1, 2);
        g->addWidget(Label26, 1, 3);
        g->addWidget(Label23, 2, 0);
        g->addWidget(Label22, 2, 1);
        g->addWidget(Label20, 2, 2);
        g->addWidget(Label18, 2, 3);
        for (int c = 0; c < 4; ++c) g->setColumnStretch(c, 1);
    }

    // ---- free-standing buttons ------------------------------------------------------------
    Cmd_Profile = button(this, "Cmd_Profile", QStringLiteral("Profile"), QStringLiteral("Choose encoding profile"));
    Cmd_File2 = button(this, "Cmd_File2", QStringLiteral("Source"), QStringLiteral("Select a video file"));
    Cmd_Go = button(this, "Cmd_Go", QStringLiteral("Go"), QStringLiteral("Start network encoding"));
    Cmd_Help = button(this, "Cmd_Help", QStringLiteral("Help"));
    Cmd_About = button(this, "Cmd_About", QStringLiteral("About"));
    Cmd_Exit = button(this, "Cmd_Exit", QStringLiteral("Exit"));
    QFont goFont = Cmd_Go->font();
    goFont.setBold(true);
    Cmd_Go->setFont(goFont);
    Cmd_Go->setMinimumHeight(36);
    CheckBox_Join = named(new QCheckBox(QStringLiteral("Join"), this), "CheckBox_Join");
    CheckBox_Join->setToolTip(QStringLiteral("Join the computers' files into one when a run ends"));
    bind_join_check_box(*this);

    // ---- preview --------------------------------------------------------------------------
    Frame_Video = named(new VideoFrameWidget(this), "Frame_Video");
    // The picture box takes the room the window gains; the picture keeps its aspect ratio
    // inside it (VideoFrameWidget letterboxes).
    Frame_Video->setMinimumSize(320, 240);
    Frame_Video->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    Slider = named(new QSlider(Qt::Horizontal, this), "Slider");
    Slider->setRange(0, 40);
    Slider->setSingleStep(1);
    Slider->setPageStep(3);
    Slider->setTickPosition(QSlider::TicksBelow);
    Slider->setTickInterval(1);
    Playback_Counter = label(this, "Playback_Counter", QStringLiteral("0:00:00"));
    Playback_Counter->setAlignment(Qt::AlignCenter);
    Playback_Counter->setMinimumWidth(80);
    {
        QFont mono = Playback_Counter->font();
        mono.setFamily(QStringLiteral("DejaVu Sans Mono"));
        mono.setPointSize(mono.pointSize() + 2);
        Playback_Counter->setFont(mono);
    }
    Cmd_Play = button(this, "Cmd_Play", QStringLiteral(">"), QStringLiteral("Play selected video"));
    // A filled square: the stop symbol, drawn by the fonts every desktop has.
    Cmd_Stop = button(this, "Cmd_Stop", QString(QChar(0x25A0)), QStringLiteral("Stop video playback"));
    Cmd_Backward = button(this, "Cmd_Backward", QStringLiteral("<<"), QStringLiteral("Rewind 20 sec"));
    Cmd_Forward = button(this, "Cmd_Forward", QStringLiteral(">>"), QStringLiteral("Forward 20 sec"));
    for (auto* b : {Cmd_Play, Cmd_Stop, Cmd_Backward, Cmd_Forward}) b->setMaximumWidth(44);

    // ---- trim -----------------------------------------------------------------------------
    Cmd_MarkIn = button(this, "Cmd_MarkIn", QStringLiteral("In"), QStringLiteral("Mark In"));
    Cmd_MarkOut = button(this, "Cmd_MarkOut", QStringLiteral("Out"), QStringLiteral("Mark Out"));
    Cmd_Clear = button(this, "Cmd_Clear", QStringLiteral("."), QStringLiteral("Clear markers"));
    for (auto* b : {Cmd_MarkIn, Cmd_MarkOut, Cmd_Clear}) b->setMaximumWidth(44);
    Label_MarkIn = label(this, "Label_MarkIn", QStringLiteral("In: 0:00:00"));
    Label_MarkOut = label(this, "Label_MarkOut", QStringLiteral("Out: 0:00:00"));
    Label_Edit_Length = label(this, "Label_Edit_Length", QStringLiteral("Len: 0:00:00"));
    Label_Trim = label(this, "Label_Trim", QString());
    for (auto* l : {Label_MarkIn, Label_MarkOut, Label_Edit_Length}) {
        l->setFrameShape(QFrame::Panel);
        l->setFrameShadow(QFrame::Sunken);
        l->setAlignment(Qt::AlignCenter);
    }

    // ---- timers (made before the slot panels: the slot table names them) ------------------
    Timer_Counters = timer(this, "Timer_Counters", 500);
    TimerLocal = timer(this, "TimerLocal", 500);
    TimerRemote = timer(this, "TimerRemote", 500);
    TimerRemote2 = timer(this, "TimerRemote2", 500);
    Timer_Playback = timer(this, "Timer_Playback", 200);

    // ---- the three slot panels ------------------------------------------------------------
    Frame_Local = named(new QGroupBox(QStringLiteral("Server: "), this), "Frame_Local");
    Cmd_Local_Encode =
        button(Frame_Local, "Cmd_Local_Encode", QStringLiteral("Encode"), QStringLiteral("Encode using only this server"));
    CheckBox_PostView = named(new QCheckBox(QStringLiteral("Preview"), Frame_Local), "CheckBox_PostView");
    CheckBox_PostView->setChecked(true);
    local_load = text_box(Frame_Local, "local_load", QStringLiteral("40"), QStringLiteral("Server encoding load"));
    ProgressBar_Local = progress(Frame_Local, "ProgressBar_Local", 100);
    TextBox_LocalFile = text_box(Frame_Local, "TextBox_LocalFile");
    Local_Status = label(Frame_Local, "Local_Status", QStringLiteral("Status:"));
    Local_Clock = label(Frame_Local, "Local_Clock", QStringLiteral("0:00:00"));
    Label1 = label(Frame_Local, "Label1", QStringLiteral("Size:"));
    Label2 = label(Frame_Local, "Label2", QString());
    Label3 = label(Frame_Local, "Label3", QStringLiteral("Bit rate:"));
    Label9 = label(Frame_Local, "Label9", QStringLiteral("Load:"));
    Label8 = label(Frame_Local, "Label8", QStringLiteral("Speed:"));
    Label12 = label(Frame_Local, "Label12", QStringLiteral("Time:"));

    Frame_Remote = named(new QGroupBox(QStringLiteral("Client 1: "), this), "Frame_Remote");
    Combo1 = combo(Frame_Remote, "Combo1", QStringLiteral("Change client-to-computer assignment"));
    Cmd_Remote_Encode =
        button(Frame_Remote, "Cmd_Remote_Encode", QStringLiteral("Encode"), QStringLiteral("Encode using only this client"));
    remote_load = text_box(Frame_Remote, "remote_load", QStringLiteral("40"), QStringLiteral("Client encoding load"));
    ProgressBar_Remote = progress(Frame_Remote, "ProgressBar_Remote", 100);
    TextBox_RemoteFile = text_box(Frame_Remote, "TextBox_RemoteFile");
    Remote_Status = label(Frame_Remote, "Remote_Status", QStringLiteral("Status:"));
    Remote_Clock = label(Frame_Remote, "Remote_Clock", QStringLiteral("0:00:00"));
    Label4 = label(Frame_Remote, "Label4", QStringLiteral("Size:"));
    Label5 = label(Frame_Remote, "Label5", QString());
    Label7 = label(Frame_Remote, "Label7", QStringLiteral("Bit rate:"));
    Label10 = label(Frame_Remote, "Label10", QStringLiteral("Load:"));
    Label6 = label(Frame_Remote, "Label6", QStringLiteral("Speed:"));
    Label13 = label(Frame_Remote, "Label13", QStringLiteral("Time:"));

    Frame_Remote2 = named(new QGroupBox(QStringLiteral("Client 2: "), this), "Frame_Remote2");
    Combo2 = combo(Frame_Remote2, "Combo2", QStringLiteral("Change client-to-computer assignment"));
    Cmd_Remote2_Encode = button(Frame_Remote2, "Cmd_Remote2_Encode", QStringLiteral("Encode"),
                                QStringLiteral("Encode using only this client"));
    remote2_load = text_box(Frame_Remote2, "remote2_load", QStringLiteral("20"), QStringLiteral("Client encoding load"));
    ProgressBar_Remote2 = progress(Frame_Remote2, "ProgressBar_Remote2", 100);
    TextBox_Remote2File = text_box(Frame_Remote2, "TextBox_Remote2File");
    Remote2_Status = label(Frame_Remote2, "Remote2_Status", QStringLiteral("Status:"));
    Remote2_Clock = label(Frame_Remote2, "Remote2_Clock", QStringLiteral("0:00:00"));
    Label17 = label(Frame_Remote2, "Label17", QStringLiteral("Size:"));
    Label16 = label(Frame_Remote2, "Label16", QString());
    Label15 = label(Frame_Remote2, "Label15", QStringLiteral("Bit rate:"));
    Label14 = label(Frame_Remote2, "Label14", QStringLiteral("Load:"));
    Label11 = label(Frame_Remote2, "Label11", QStringLiteral("Speed:"));
    Label21 = label(Frame_Remote2, "Label21", QStringLiteral("Time:"));
    for (SlotId id : kAllSlots) lay_out_slot(slot_of(*this, id));

    // ---- server hardware and network ------------------------------------------------------
    Frame_CPU_Disk = named(new QGroupBox(QStringLiteral("Server Hardware"), this), "Frame_CPU_Disk");
    Local_CPU_Meter = progress(Frame_CPU_Disk, "Local_CPU_Meter", 10);
    Local_Disk_Meter = progress(Frame_CPU_Disk, "Local_Disk_Meter", 10);
    Local_Net_Meter = progress(Frame_CPU_Disk, "Local_Net_Meter", 10);
    Label_CPU = label(Frame_CPU_Disk, "Label_CPU", QStringLiteral("CPU: "));
    Label_Disk = label(Frame_CPU_Disk, "Label_Disk", QStringLiteral("Disk: "));
    Label_Network = label(Frame_CPU_Disk, "Label_Network", QStringLiteral("Network:"));
    {
        auto* g = new QGridLayout(Frame_CPU_Disk);
        tighten(g);
        g->addWidget(Label_CPU, 0, 0);
        g->addWidget(Local_CPU_Meter, 0, 1);
        g->addWidget(Label_Disk, 1, 0);
        g->addWidget(Local_Disk_Meter, 1, 1);
        g->addWidget(Label_Network, 2, 0);
        g->addWidget(Local_Net_Meter, 2, 1);
        g->setColumnMinimumWidth(0, 64);
        g->setColumnStretch(1, 1);
        for (auto* m : {Local_CPU_Meter, Local_Disk_Meter, Local_Net_Meter}) m->setMaximumHeight(14);
    }
    Frame_Network = named(new QGroupBox(QStringLiteral("Network"), this), "Frame_Network");
    ListBox_NetComputers = named(new QListWidget(Frame_Network), "ListBox_NetComputers");
    ListBox_NetComputers->setMinimumHeight(40);
    Label_Network_Traffic = label(Frame_Network, "Label_Network_Traffic", QStringLiteral("Traffic: "));
    {
        auto* v = new QVBoxLayout(Frame_Network);
        v->setContentsMargins(6, 2, 6, 4);
        v->setSpacing(2);
        v->addWidget(ListBox_NetComputers);
        v->addWidget(Label_Network_Traffic);
    }

    // ---- window layout ----------------------------------------------------------------------
    // Source and profile side by side across the top; below, the preview column on the left
    // and the three slot panels side by side on the right with the meters and the network list
    // under them; the buttons along the bottom. Extra width goes to the picture and the
    // panels' file boxes, extra height to the picture and the network list.
    auto* header = new QHBoxLayout;
    header->addWidget(Frame2, 2);
    header->addWidget(Frame_Profile, 3);

    auto* preview = new QVBoxLayout;
    preview->setSpacing(3);
    preview->addWidget(Frame_Video, 1);
    preview->addWidget(Slider);
    auto* transport = new QHBoxLayout;
    transport->addWidget(Cmd_Backward);
    transport->addWidget(Cmd_Play);
    transport->addWidget(Cmd_Stop);
    transport->addWidget(Cmd_Forward);
    transport->addStretch();
    transport->addWidget(Playback_Counter);
    preview->addLayout(transport);
    auto* trim = new QHBoxLayout;
    trim->addWidget(Cmd_MarkIn);
    trim->addWidget(Cmd_MarkOut);
    trim->addWidget(Cmd_Clear);
    trim->addWidget(Label_Trim, 1);
    preview->addLayout(trim);
    auto* marks = new QHBoxLayout;
    for (auto* l : {Label_MarkIn, Label_MarkOut, Label_Edit_Length}) marks->addWidget(l, 1);
    preview->addLayout(marks);

    auto* panels = new QHBoxLayout;
    for (auto* panel : {Frame_Local, Frame_Remote, Frame_Remote2}) {
        panel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
        panels->addWidget(panel, 1);
    }
    auto* meters = new QHBoxLayout;
    meters->addWidget(Frame_CPU_Disk, 1, Qt::AlignTop);
    meters->addWidget(Frame_Network, 2);
    auto* right = new QVBoxLayout;
    right->addLayout(panels);
    right->addLayout(meters, 1);

    auto* columns = new QHBoxLayout;
    columns->addLayout(preview, 1);
    columns->addLayout(right, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Cmd_File2);
    buttons->addWidget(Cmd_Profile);
    buttons->addStretch();
    buttons->addWidget(Cmd_Go);
    buttons->addWidget(CheckBox_Join);
    buttons->addStretch();
    buttons->addWidget(Cmd_Help);
    buttons->addWidget(Cmd_About);
    buttons->addWidget(Cmd_Exit);
    Cmd_Go->setMinimumWidth(120);

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(8, 6, 8, 6);
    top->setSpacing(6);
    top->addLayout(header);
    top->addLayout(columns, 1);
    top->addLayout(buttons);

    setTabOrders();
    resize(sizeHint());
}

void Form1::setTabOrders() {
    // Top to bottom as the user works: source, profile, preview and trim, the slots from the
    // Server to Client 2, the network list, then the bottom row.
    QWidget* order[] = {Cmd_File, TextBox_File, Combo_Profile, Slider, Cmd_Backward, Cmd_Play, Cmd_Stop,
                        Cmd_Forward, Cmd_MarkIn, Cmd_MarkOut, Cmd_Clear, CheckBox_PostView, Cmd_Local_Encode,
                        local_load, TextBox_LocalFile, Combo1, Cmd_Remote_Encode, remote_load, TextBox_RemoteFile,
                        Combo2, Cmd_Remote2_Encode, remote2_load, TextBox_Remote2File, ListBox_NetComputers,
                        Cmd_File2, Cmd_Profile, Cmd_Go, CheckBox_Join, Cmd_Help, Cmd_About, Cmd_Exit};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
}

void Form1::connectEvents() {
    auto on = [this](QPushButton* b, void (*routine)(Form1&)) {
        connect(b, &QPushButton::clicked, this, [this, routine] { routine(*this); });
    };
    on(Cmd_File, Cmd_File_Click);
    on(Cmd_File2, Cmd_File2_Click);
    on(Cmd_Profile, Cmd_Profile_Click);
    on(Cmd_Go, Cmd_Go_Click);
    on(Cmd_Exit, Cmd_Exit_Click);
    on(Cmd_Help, Cmd_Help_Click);
    on(Cmd_About, Cmd_About_Click);
    // F1 anywhere in the window opens the help, as Cmd_Help does.
    auto* helpKey = new QShortcut(QKeySequence(Qt::Key_F1), this);
    helpKey->setObjectName(QStringLiteral("Key_F1"));
    connect(helpKey, &QShortcut::activated, this, [this] { Cmd_Help_Click(*this); });
    on(Cmd_Play, Cmd_Play_Click);
    on(Cmd_Stop, Cmd_Stop_Click);
    on(Cmd_Forward, Cmd_Forward_Click);
    on(Cmd_Backward, Cmd_Backward_Click);
    on(Cmd_MarkIn, Cmd_MarkIn_Click);
    on(Cmd_MarkOut, Cmd_MarkOut_Click);
    on(Cmd_Clear, Cmd_Clear_Click);
    on(Cmd_Local_Encode, Cmd_Local_Encode_Click);
    on(Cmd_Remote_Encode, Cmd_Remote_Encode_Click);
    on(Cmd_Remote2_Encode, Cmd_Remote2_Encode_Click);

    // A pick in a list (not typing into its text field) is the combo boxes' click.
    // Long profile names: show their beginning, not their end, while the list is not being edited.
    connect(Combo_Profile, &QComboBox::editTextChanged, this, [this] {
        if (Combo_Profile->lineEdit() && !Combo_Profile->hasFocus()) Combo_Profile->lineEdit()->setCursorPosition(0);
    });
    connect(Combo_Profile, &QComboBox::activated, this, [this](int) { Combo_Profile_Click(*this); });
    // Stock profile names are longer than the box: its tooltip holds the whole chosen name, and
    // its list is made as wide as the longest name (the list may be wider than the box).
    // A name from a profile file that looks like HTML is given to the tooltip as plain text.
    connect(Combo_Profile, &QComboBox::currentTextChanged, this, [this](const QString& name) {
        Combo_Profile->setToolTip(Qt::mightBeRichText(name) ? Qt::convertFromPlainText(name, Qt::WhiteSpaceNoWrap)
                                                            : name);
    });
    auto widenList = [this] {
        QAbstractItemView* list = Combo_Profile->view();
        list->setMinimumWidth(list->sizeHintForColumn(0) + list->verticalScrollBar()->sizeHint().width() +
                              2 * list->frameWidth());
    };
    QAbstractItemModel* profiles = Combo_Profile->model();
    connect(profiles, &QAbstractItemModel::rowsInserted, this, widenList);
    connect(profiles, &QAbstractItemModel::rowsRemoved, this, widenList);
    connect(profiles, &QAbstractItemModel::modelReset, this, widenList);
    connect(profiles, &QAbstractItemModel::dataChanged, this, widenList);
    connect(Combo1, &QComboBox::activated, this, [this](int) { Combo1_Click(*this); });
    connect(Combo2, &QComboBox::activated, this, [this](int) { Combo2_Click(*this); });
    connect(CheckBox_PostView, &QCheckBox::clicked, this, [this](bool) { CheckBox_PostView_Click(*this); });
    // Only the user's moves seek; values the playback tick writes do not.
    connect(Slider, &QSlider::actionTriggered, this, [this](int) {
        QMetaObject::invokeMethod(this, [this] { Slider_Scroll(*this); }, Qt::QueuedConnection);
    });

    connect(Timer_Counters, &QTimer::timeout, this, [this] { Update_Meters(*this); });
    connect(TimerLocal, &QTimer::timeout, this, [this] { TimerLocal_Timer(*this); });
    connect(TimerRemote, &QTimer::timeout, this, [this] { TimerRemote_Timer(*this); });
    connect(TimerRemote2, &QTimer::timeout, this, [this] { TimerRemote2_Timer(*this); });
    connect(Timer_Playback, &QTimer::timeout, this, [this] { Timer_Playback_Timer(*this); });
}

}  // namespace shardex
