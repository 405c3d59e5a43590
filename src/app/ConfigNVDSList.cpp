// The tag list: filling it from the table, reading it back, the in-place editors, the typing
// filters, the right-click menu and the tag description tooltip.
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <algorithm>

#include "app/AppTexts.h"
#include "app/ChoiceEdit.h"
#include "app/ConfigNVDS.h"
#include "app/TagDescription.h"
#include "catalogue/NumberText.h"
#include "catalogue/TypingFilter.h"

namespace nvds {

namespace {

const QColor READ_ONLY_COLOUR(180, 180, 255);
const QColor SYSTEM_TAG_COLOUR(0, 0, 255);
// Editors stand 4 pixels above their cell so that their frame does not hide the text.
constexpr int EDITOR_RAISE = 4;
constexpr int CHOICE_WIDTH = 70;
// The description tooltip wraps its lines at this width.
constexpr int TIP_MAX_WIDTH = 400;
constexpr int TIP_SHOW_MS = 30000;

// Breaks each line of the text between words so that no line is wider than maxWidth; a single
// word wider than that stands on a line of its own. Spaces are kept as they were.
QString WrapLines(const QString& text, const QFontMetrics& metrics, int maxWidth) {
    QStringList lines;
    for (const QString& line : text.split('\n')) {
        QString current;
        bool first = true;
        for (const QString& word : line.split(' ')) {
            const QString candidate = first ? word : current + ' ' + word;
            if (!first && !current.isEmpty() && metrics.horizontalAdvance(candidate) > maxWidth) {
                lines << current;
                current = word;
            } else {
                current = candidate;
            }
            first = false;
        }
        lines << current;
    }
    return lines.join('\n');
}

}  // namespace

QString CConfigNVDS::CellText(int row, int column) const {
    QTableWidgetItem* item = m_list->item(row, column);
    return item != nullptr ? item->text() : QString();
}

void CConfigNVDS::SetCellText(int row, int column, const QString& text) {
    if (QTableWidgetItem* item = m_list->item(row, column)) {
        item->setText(text);
    }
}

uint32_t CConfigNVDS::RowTag(int row) const {
    return StrToUl32(CellText(row, COL_TAG).toStdString());
}

void CConfigNVDS::FillRow(int row, const TagEntry& entry, int useDefaults) {
    const TagDef& def = entry.def;
    const std::string& value = useDefaults ? def.defaultText : entry.valueText;
    const QString texts[4] = {QString::number(entry.tag), QString::fromLocal8Bit(def.label),
                              CODING_NAMES[def.coding], QString::fromLocal8Bit(value)};
    for (int column = 0; column < 4; ++column) {
        auto* item = new QTableWidgetItem(texts[column]);
        if (column == COL_VALUE && def.readOnly) {
            item->setForeground(READ_ONLY_COLOUR);
        } else if (entry.tag <= TAG_SYSTEM_LAST) {
            item->setForeground(SYSTEM_TAG_COLOUR);
        }
        m_list->setItem(row, column, item);
    }
}

void CConfigNVDS::ShowTags(TagTable& table, int useDefaults) {
    m_list->setRowCount(0);
    bool userTagListed = false;
    for (uint32_t tag = 1; tag < TAG_TABLE_SIZE; ++tag) {
        const TagEntry& entry = table[tag];
        if (!entry.IsDefined() || !entry.def.show) {
            continue;
        }
        int row = m_list->rowCount();
        m_list->insertRow(row);
        FillRow(row, entry, useDefaults);
        userTagListed = userTagListed || tag >= TAG_USER_FIRST;
    }
    Action(ID_FILE_SAVE_AS)->setEnabled(true);
    SetExportEnabled(userTagListed);
}

int CConfigNVDS::TakeListValues(TagTable& table) {
    int rows = m_list->rowCount();
    int row = 0;
    for (uint32_t tag = 1; tag < TAG_TABLE_SIZE; ++tag) {
        TagEntry& entry = table[tag];
        if (!entry.IsDefined() || !entry.def.show) {
            continue;
        }
        if (row >= rows || RowTag(row) != tag) {
            return 0;
        }
        entry.valueText = CellText(row, COL_VALUE).toLocal8Bit().toStdString();
        ++row;
    }
    return 1;
}

int CConfigNVDS::TextLimit(const TagDef& def) {
    switch (def.coding) {
        case CODING_ARRAY_HEX:
            return static_cast<int>(3 * def.length) - 1;
        case CODING_STRING_ASCII:
            return static_cast<int>(def.lengthVariable ? def.length - 1 : def.length);
        case CODING_NUMBER:
            return static_cast<int>(2 * def.length) + 2;
        case CODING_BD_ADDR:
            return 17;
        default:
            m_prompter->Message(MSG_UNKNOWN_CODING);
            return static_cast<int>(def.length);
    }
}

bool CConfigNVDS::AcceptsChar(QChar c) const {
    const TagDef& def = m_tagTable[m_nTag % TAG_TABLE_SIZE].def;
    // The filter judges the bytes of the local 8-bit text the value is kept in.
    const QByteArray bytes = QString(c).toLocal8Bit();
    return !bytes.isEmpty() && std::all_of(bytes.begin(), bytes.end(), [&def](char byte) {
        return TypingFilterAccepts(def, byte);
    });
}

namespace {

// Keys that move the caret, select or delete: they edit as in any text field and never meet
// the character filter (Qt reports Delete as the character 0x7F, which the filter drops).
bool IsEditingKey(const QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Delete:
        case Qt::Key_Backspace:
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
            return true;
        default:
            return event->matches(QKeySequence::SelectAll) || event->matches(QKeySequence::Copy) ||
                   event->matches(QKeySequence::Cut);
    }
}

}  // namespace

bool CConfigNVDS::EditKeyEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        EndCellEdit();
        return true;
    }
    if (event->key() == Qt::Key_Escape) {
        OnQuit();
        return true;
    }
    if (IsEditingKey(event)) {
        return false;
    }
    for (QChar c : event->text()) {
        if (!AcceptsChar(c)) {
            return true;  // dropped
        }
    }
    return false;
}

// Every click on the list first closes an open edit, then remembers the cell; the reset command
// follows whether a row was hit. True when one was.
bool CConfigNVDS::TakeClickedCell(int row, int column) {
    EndCellEdit();
    m_nItem = row;
    m_nSubItem = column;
    EnableResetTag(row >= 0);
    return row >= 0;
}

void CConfigNVDS::BeginCellEdit(int row, int column) {
    if (!TakeClickedCell(row, column)) {
        return;
    }
    m_nTag = RowTag(row) % TAG_TABLE_SIZE;
    const TagDef& def = m_tagTable[m_nTag].def;
    if (column != COL_VALUE || def.readOnly) {
        return;
    }
    QRect cell = m_list->visualItemRect(m_list->item(row, column));
    if (CellText(row, COL_TYPE) == "Bool") {
        m_combo->clear();
        m_combo->addItems({"False", "True"});
        m_combo->setGeometry(cell.left(), cell.top() - EDITOR_RAISE, CHOICE_WIDTH,
                             cell.height() + EDITOR_RAISE);
        // The entry that matches the cell becomes the current one: with only the edit text
        // set, the popup taking the focus would end the edit as if that entry were picked.
        const QString text = CellText(row, column);
        m_combo->setCurrentIndex(m_combo->findText(text));
        m_combo->setEditText(text);
        m_combo->show();
        m_combo->setFocus();
        // Opened by a double-click, the list drops down at that click's release: dropped at the
        // press, the release would land on the entry under the cursor and close it unchanged.
        if (!m_bDropChoiceOnRelease) {
            m_combo->showPopup();
        }
        return;
    }
    m_edit->setGeometry(cell.left(), cell.top() - EDITOR_RAISE, m_list->columnWidth(COL_VALUE),
                        cell.height() + EDITOR_RAISE);
    // A limit of 0 or less (a zero-length definition) means no limit of its own, as with the
    // platform's edit control; the editor then takes its default maximum.
    int limit = TextLimit(def);
    m_edit->setMaxLength(limit > 0 ? limit : 32767);
    m_edit->show();
    m_edit->setText(CellText(row, column));
    m_edit->setFocus();
    m_edit->selectAll();
}

void CConfigNVDS::EndCellEdit() {
    if (!m_edit->isHidden()) {
        std::string text = m_edit->text().toLocal8Bit().toStdString();
        m_edit->hide();
        if (CheckValue(text, m_tagTable[m_nTag].def, 1) == 1) {
            SetCellText(m_nItem, m_nSubItem, QString::fromLocal8Bit(text));
        }
    }
    if (!m_combo->isHidden()) {
        QString text = m_combo->currentText();
        m_combo->hide();
        SetCellText(m_nItem, m_nSubItem, text);
    }
}

void CConfigNVDS::OnComboSelChange() {
    if (!m_combo->isHidden()) {
        QString text = m_combo->currentText();
        m_combo->hide();
        SetCellText(m_nItem, m_nSubItem, text);
    }
}

void CConfigNVDS::OnListRightClick(int row, int column, const QPoint& globalPos) {
    if (!TakeClickedCell(row, column)) {
        return;
    }
    m_nTag = RowTag(row) % TAG_TABLE_SIZE;
    m_popupReset->setEnabled(m_tagTable[m_nTag].IsDefined());
    m_pPopupMenu->popup(globalPos);
}

void CConfigNVDS::OnListClick(int row, int column) {
    if (!TakeClickedCell(row, column)) {
        return;
    }
    if (column != COL_TAG) {
        return;
    }
    m_nTag = RowTag(row) % TAG_TABLE_SIZE;
    if (!m_tagTable[m_nTag].IsDefined()) {
        return;
    }
    bool known = true;
    std::string text = BuildTagDescription(m_tagTable[m_nTag].def, &known);
    if (!known) {
        m_prompter->Message(MSG_FIND_ERROR_CODE);
    }
    // Qt's tooltips break lines at '\n' only, and never by width.
    m_strToolTip = WrapLines(QString::fromLocal8Bit(text).replace('\r', '\n'),
                             QFontMetrics(QToolTip::font()), TIP_MAX_WIDTH);
    m_bToolTipActive = true;
    m_bTipAwaitsActivation = !isActiveWindow();
    QToolTip::showText(QCursor::pos(), m_strToolTip, m_list->viewport(), {}, TIP_SHOW_MS);
}

void CConfigNVDS::RelayToolTip(QMouseEvent* event) {
    QPoint global = event->globalPosition().toPoint();
    QRect frame(m_list->mapToGlobal(QPoint(0, 0)), m_list->size());
    if (!frame.contains(global)) {
        // Outside the list while it holds the mouse: a drag left it; silence the tooltip
        // until the next click on a "Tag ID" cell.
        m_bToolTipActive = false;
        QToolTip::hideText();
        return;
    }
    // Qt hides a tooltip at every press and release, so the description shown at a click's
    // press is shown again at its release and follows the mouse after it.
    if (m_bToolTipActive &&
        (event->type() == QEvent::MouseMove || event->type() == QEvent::MouseButtonRelease)) {
        QToolTip::showText(global, m_strToolTip, m_list->viewport(), {}, TIP_SHOW_MS);
    }
}

void CConfigNVDS::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // A click that activates the window (after a dialog closed, or coming back from another
    // program) is followed by the activation, and Qt hides every tooltip then. The description
    // of that click is shown again once the activation is over.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_bTipAwaitsActivation) {
        m_bTipAwaitsActivation = false;
        QTimer::singleShot(0, this, [this] {
            const QPoint cursor = QCursor::pos();
            if (m_bToolTipActive && isActiveWindow() &&
                QRect(m_list->viewport()->mapToGlobal(QPoint(0, 0)), m_list->viewport()->size())
                    .contains(cursor)) {
                QToolTip::showText(cursor, m_strToolTip, m_list->viewport(), {}, TIP_SHOW_MS);
            }
        });
    }
}

bool CConfigNVDS::ListMouseEvent(QEvent* event) {
    QEvent::Type type = event->type();
    if (type == QEvent::ToolTip) {
        return true;  // the list's own item tooltips would replace the description
    }
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonDblClick &&
        type != QEvent::MouseMove && type != QEvent::MouseButtonRelease) {
        return false;
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (type == QEvent::MouseMove || mouse->button() == Qt::LeftButton) {
        RelayToolTip(mouse);
    }
    QModelIndex index = m_list->indexAt(mouse->position().toPoint());
    int row = index.isValid() ? index.row() : -1;
    int column = index.isValid() ? index.column() : -1;
    if (type == QEvent::MouseButtonPress && mouse->button() == Qt::RightButton) {
        if (row >= 0) {
            m_list->selectRow(row);
        }
        OnListRightClick(row, column, mouse->globalPosition().toPoint());
        return true;
    }
    if (type == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton) {
        OnListClick(row, column);
    } else if (type == QEvent::MouseButtonDblClick && mouse->button() == Qt::LeftButton) {
        if (row >= 0) {
            m_list->selectRow(row);
        }
        m_bDropChoiceOnRelease = true;
        BeginCellEdit(row, column);
        m_bDropChoiceOnRelease = !m_combo->isHidden();
        return true;
    } else if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton &&
               m_bDropChoiceOnRelease) {
        m_bDropChoiceOnRelease = false;
        if (!m_combo->isHidden()) {
            m_combo->showPopup();
        }
        return true;
    }
    return false;
}

}  // namespace nvds
