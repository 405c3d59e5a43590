#include "usertags/NewTag.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <string>

#include "usertags/UserTagTexts.h"

namespace nvds {

namespace {

constexpr int kNameMaxChars = 64;
constexpr int kLabelMaxChars = 128;

QGroupBox* Group(const char* title, QLayout* layout) {
    auto* group = new QGroupBox(QString::fromLatin1(title));
    group->setLayout(layout);
    return group;
}

bool IsHexDigit(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

CNewTag::CNewTag(Prompter& prompter, QWidget* parent) : QDialog(parent), CNvdsConfig(prompter) {
    BuildControls();
    ConnectControls();
}

CNewTag::CNewTag(Prompter& prompter, std::string sysDbPath, std::string userDbPath, QWidget* parent)
    : QDialog(parent), CNvdsConfig(prompter, std::move(sysDbPath), std::move(userDbPath)) {
    BuildControls();
    ConnectControls();
}

int CNewTag::exec() {
    OnInitDialog();
    return QDialog::exec();
}

void CNewTag::OnInitDialog() {
    m_nSelRow = -1;
    SetBrowsing("Edit");
    LoadUserTagDb(GetUserDbPath(), m_tags);
    RefreshTagList();
    ShowFields();
}

void CNewTag::BuildControls() {
    setWindowTitle(QString::fromLatin1(TITLE_PROPERTIES));
    auto* columns = new QHBoxLayout;
    columns->addWidget(BuildLeftColumn(), 2);
    columns->addWidget(BuildRightColumn(), 3);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(columns);
    outer->addWidget(BuildButtonRow());
    for (QLineEdit* edit : {m_pTagIdEdit, m_pMinEdit, m_pMaxEdit, m_pLengthEdit, m_pDefaultEdit}) {
        edit->installEventFilter(this);
    }
    m_pList->viewport()->installEventFilter(this);
}

QWidget* CNewTag::BuildLeftColumn() {
    m_pList = new QTableWidget(0, 2);
    m_pList->setHorizontalHeaderLabels({QStringLiteral("Tag ID"), QStringLiteral("Label")});
    m_pList->setShowGrid(true);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pList->verticalHeader()->hide();
    m_pList->setColumnWidth(0, 50);
    m_pList->horizontalHeader()->setStretchLastSection(true);
    m_pList->setMinimumWidth(220);

    m_pTagIdEdit = new QLineEdit;
    m_pSpinUp = new QToolButton;
    m_pSpinUp->setArrowType(Qt::UpArrow);
    m_pSpinDown = new QToolButton;
    m_pSpinDown->setArrowType(Qt::DownArrow);
    auto* idRow = new QHBoxLayout;
    idRow->addWidget(m_pTagIdEdit);
    idRow->addWidget(m_pSpinUp);
    idRow->addWidget(m_pSpinDown);

    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pList);
    layout->addWidget(Group("Tag ID", idRow));
    return column;
}

QWidget* CNewTag::BuildRightColumn() {
    m_pCodingCombo = new QComboBox;
    for (int i = 0; i < static_cast<int>(CODING_BD_ADDR); ++i) {
        m_pCodingCombo->addItem(QString::fromLatin1(CODING_NAMES[i]));
    }
    auto* codingRow = new QHBoxLayout;
    codingRow->addWidget(m_pCodingCombo);

    m_pMinEdit = new QLineEdit;
    m_pMaxEdit = new QLineEdit;
    auto* rangeRow = new QHBoxLayout;
    rangeRow->addWidget(m_pMinEdit);
    rangeRow->addWidget(new QLabel(QStringLiteral("~")));
    rangeRow->addWidget(m_pMaxEdit);
    m_pRangeGroup = Group("Range", rangeRow);

    // The name is kept and written to the database but never shown for editing.
    m_pNameEdit = new QLineEdit;
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(m_pNameEdit);
    QGroupBox* nameGroup = Group("Name", nameRow);
    nameGroup->hide();

    m_pLengthEdit = new QLineEdit;
    m_pByteLabel = new QLabel(QStringLiteral("Byte"));
    m_pWidthGroup = new QButtonGroup(this);
    auto* lengthRow = new QHBoxLayout;
    lengthRow->addWidget(m_pLengthEdit);
    lengthRow->addWidget(m_pByteLabel);
    const char* widthNames[3] = {"uint8_t", "uint16_t", "uint32_t"};
    for (int i = 0; i < 3; ++i) {
        m_pWidth[i] = new QRadioButton(QString::fromLatin1(widthNames[i]));
        m_pWidthGroup->addButton(m_pWidth[i], i);
        lengthRow->addWidget(m_pWidth[i]);
    }
    lengthRow->addStretch();
    m_pLengthGroup = Group("Length", lengthRow);

    m_pLabelEdit = new QLineEdit;
    auto* labelRow = new QHBoxLayout;
    labelRow->addWidget(m_pLabelEdit);

    // The edit box and the Bool choice share one place; only one of them is visible.
    m_pDefaultEdit = new QLineEdit;
    m_pDefaultCombo = new QComboBox;
    m_pDefaultCombo->addItems(
        {QString::fromLatin1(BOOL_TEXTS[0]), QString::fromLatin1(BOOL_TEXTS[1])});
    auto* defaultRow = new QHBoxLayout;
    defaultRow->addWidget(m_pDefaultEdit);
    defaultRow->addWidget(m_pDefaultCombo);
    m_pDefaultGroup = Group("Default value", defaultRow);

    m_pDescriptionEdit = new QPlainTextEdit;
    auto* descriptionRow = new QHBoxLayout;
    descriptionRow->addWidget(m_pDescriptionEdit);

    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Group("Data Type", codingRow));
    layout->addWidget(m_pRangeGroup);
    layout->addWidget(nameGroup);
    layout->addWidget(m_pLengthGroup);
    layout->addWidget(Group("Label", labelRow));
    layout->addWidget(m_pDefaultGroup);
    layout->addWidget(Group("Description", descriptionRow), 1);
    return column;
}

QWidget* CNewTag::BuildButtonRow() {
    m_pNewButton = new QPushButton(QStringLiteral("New"));
    m_pEditButton = new QPushButton(QStringLiteral("Edit"));
    m_pDeleteButton = new QPushButton(QStringLiteral("Delete"));
    m_pApplyButton = new QPushButton(QStringLiteral("Apply"));
    m_pCancelButton = new QPushButton(QStringLiteral("Cancel"));
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QPushButton* button :
         {m_pNewButton, m_pEditButton, m_pDeleteButton, m_pApplyButton, m_pCancelButton}) {
        // Only Apply reacts to Enter, and only while it is enabled.
        button->setAutoDefault(false);
        layout->addWidget(button);
    }
    m_pApplyButton->setDefault(true);
    return row;
}

void CNewTag::ConnectControls() {
    connect(m_pNewButton, &QPushButton::clicked, this, [this] { OnNew(); });
    connect(m_pEditButton, &QPushButton::clicked, this, [this] { OnEdit(); });
    connect(m_pDeleteButton, &QPushButton::clicked, this, [this] { OnDelete(); });
    connect(m_pApplyButton, &QPushButton::clicked, this, [this] { OnApply(); });
    connect(m_pCancelButton, &QPushButton::clicked, this, [this] { reject(); });
    connect(m_pSpinUp, &QToolButton::clicked, this, [this] { OnSpin(1); });
    connect(m_pSpinDown, &QToolButton::clicked, this, [this] { OnSpin(-1); });
    connect(m_pList, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { OnListDoubleClick(row); });
    connect(m_pCodingCombo, &QComboBox::activated, this, [this](int i) { OnCodingChosen(i); });
    connect(m_pWidthGroup, &QButtonGroup::idClicked, this, [this](int i) { OnWidthClicked(i); });
    // textEdited fires for the user's typing only, so showing the members never loops back.
    connect(m_pDefaultEdit, &QLineEdit::textEdited, this, [this] { OnDefaultChanged(); });
    connect(m_pTagIdEdit, &QLineEdit::textEdited, this, [this] { OnTagIdChanged(); });
    connect(m_pLabelEdit, &QLineEdit::textEdited, this, [this] { OnLabelChanged(); });
}

bool CNewTag::AcceptsKey(QObject* field, QChar c) const {
    if (field == m_pTagIdEdit) {
        return c >= '0' && c <= '9';
    }
    if (field == m_pMinEdit || field == m_pMaxEdit || field == m_pLengthEdit) {
        return IsHexDigit(c) || c == 'x' || c == 'X';
    }
    if (field == m_pDefaultEdit && m_nCoding == CODING_ARRAY_HEX) {
        return IsHexDigit(c) || c == ' ';
    }
    if (field == m_pDefaultEdit && m_nCoding == CODING_NUMBER) {
        return IsHexDigit(c) || c == 'x' || c == 'X';
    }
    return true;
}

bool CNewTag::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        // Printable characters only: backspace, arrows and shortcuts always pass.
        const QString text = static_cast<QKeyEvent*>(event)->text();
        if (text.size() == 1 && text[0].isPrint() && !AcceptsKey(watched, text[0])) {
            return true;
        }
    }
    if (watched == m_pList->viewport() && event->type() == QEvent::MouseButtonRelease &&
        m_pList->isEnabled()) {
        OnListClick(m_pList->indexAt(static_cast<QMouseEvent*>(event)->pos()).row());
    }
    return QDialog::eventFilter(watched, event);
}

bool CNewTag::ReadFields(bool prompt) {
    const std::string idText = m_pTagIdEdit->text().trimmed().toStdString();
    bool isNumber = !idText.empty() && idText.size() <= 9;
    for (char c : idText) {
        isNumber = isNumber && c >= '0' && c <= '9';
    }
    // The first field that breaks its limit is reported, as a field exchange does; a quiet
    // read (while the user is still typing) reads what it can and reports nothing.
    std::string failure;
    if (!isNumber) {
        failure = MSG_ENTER_INTEGER;
    } else {
        m_nTagId = std::stoi(idText);
        if (m_nTagId < static_cast<int>(TAG_USER_FIRST) ||
            m_nTagId > static_cast<int>(TAG_USER_LAST)) {
            failure = MSG_ENTER_USER_CODE;
        }
    }
    const std::string name = m_pNameEdit->text().toLocal8Bit().toStdString();
    const std::string label = m_pLabelEdit->text().toLocal8Bit().toStdString();
    if (failure.empty() && name.size() > kNameMaxChars) {
        failure = MSG_NAME_TOO_LONG;
    } else if (failure.empty() && label.size() > kLabelMaxChars) {
        failure = MSG_LABEL_TOO_LONG;
    }
    m_strName = name.substr(0, kNameMaxChars);
    m_strLabel = label.substr(0, kLabelMaxChars);
    m_strDescription = m_pDescriptionEdit->toPlainText().toLocal8Bit().toStdString();
    m_strMin = m_pMinEdit->text().toStdString();
    m_strMax = m_pMaxEdit->text().toStdString();
    m_strLength = m_pLengthEdit->text().toStdString();
    m_strDefault = m_pDefaultEdit->text().toLocal8Bit().toStdString();
    m_nNumWidth = m_pWidthGroup->checkedId();
    if (!failure.empty() && prompt) {
        m_prompter->Message(failure);
    }
    return failure.empty();
}

void CNewTag::ShowFields(bool keepEmptyTagId) {
    // Only changed texts are set, so the caret stays where the user is typing.
    auto show = [](QLineEdit* edit, const QString& text) {
        if (edit->text() != text) {
            edit->setText(text);
        }
    };
    auto local = [](const std::string& s) { return QString::fromLocal8Bit(s); };
    // An emptied Tag ID box is the user retyping the code: leave it to them.
    if (!keepEmptyTagId || !m_pTagIdEdit->text().isEmpty()) {
        show(m_pTagIdEdit, QString::number(m_nTagId));
    }
    show(m_pNameEdit, local(m_strName));
    show(m_pLabelEdit, local(m_strLabel));
    if (m_pDescriptionEdit->toPlainText() != local(m_strDescription)) {
        m_pDescriptionEdit->setPlainText(local(m_strDescription));
    }
    show(m_pMinEdit, local(m_strMin));
    show(m_pMaxEdit, local(m_strMax));
    show(m_pLengthEdit, local(m_strLength));
    show(m_pDefaultEdit, local(m_strDefault));
    SetWidth(m_nNumWidth);
}

void CNewTag::SetWidth(int index) {
    if (index >= 0 && index < 3) {
        m_pWidth[index]->setChecked(true);
        return;
    }
    // No button of the group is checked: the exclusive group must let go first.
    m_pWidthGroup->setExclusive(false);
    for (QRadioButton* button : m_pWidth) {
        button->setChecked(false);
    }
    m_pWidthGroup->setExclusive(true);
}

}  // namespace nvds
