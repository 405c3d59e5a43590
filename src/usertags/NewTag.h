#pragma once

#include <QDialog>
#include <string>

#include "catalogue/NvdsConfig.h"
#include "catalogue/TagTypes.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QToolButton;

namespace nvds {

/// The Properties dialog: lists the user tags of the user database, adds, edits and deletes
/// them in its own table, and on Apply writes the user database. The main window keeps one
/// object for its life, so the fields keep their values between openings.
class CNewTag : public QDialog, public CNvdsConfig {
    Q_OBJECT

public:
    enum CommitMode { COMMIT_NEW, COMMIT_EDIT };

    /// Databases beside the executable.
    CNewTag(Prompter& prompter, QWidget* parent = nullptr);
    /// Databases at the given paths (tests, command-line overrides).
    CNewTag(Prompter& prompter, std::string sysDbPath, std::string userDbPath,
            QWidget* parent = nullptr);

    /// Loads the user database and shows the dialog modally; QDialog::Accepted after Apply.
    int exec() override;
    /// Prepares a new opening: Browsing state, user database read, list refreshed.
    void OnInitDialog();

    void RefreshTagList();
    void ShowTagDef(uint32_t code, const TagDef& def);
    void SetCodingDefaults(TagCoding coding);
    void ShowCodingControls(TagCoding coding);
    /// Makes the definition fields read-only (or editable again) and their choices inactive.
    void LockFields(bool locked = true);
    int CommitTag(CommitMode mode);

    /// Reads the edit boxes into the members, applying the exchange limits: the Tag ID must
    /// be an integer in 100..254, the Name at most 64 and the Label at most 128 characters.
    /// false when a field broke its limit (its prompt shown when prompt is set).
    bool ReadFields(bool prompt = true);
    /// Shows the members in the edit boxes; keepEmptyTagId leaves an emptied Tag ID box alone
    /// (the reactions to typing use it).
    void ShowFields(bool keepEmptyTagId = false);

    // Commands and live reactions, public so that tests can drive them like a user.
    void OnNew();
    void OnEdit();
    void OnDelete();
    void OnApply();
    void OnListClick(int row);
    void OnListDoubleClick(int row);
    void OnCodingChosen(int index);
    void OnDefaultChanged();
    void OnTagIdChanged();
    void OnLabelChanged();
    void OnWidthClicked(int index);
    void OnSpin(int step);

    /// Cancel, Esc and the close box: asks before closing without result.
    void reject() override;

    int m_nTagId = 100;
    std::string m_strName = "NewName";
    std::string m_strLabel = "New label";
    std::string m_strDescription = "Please add new description";
    std::string m_strMin;
    std::string m_strMax;
    std::string m_strLength;
    std::string m_strDefault;
    int m_nNumWidth = 1;
    TagCoding m_nCoding = CODING_NUMBER;
    int m_nSelRow = -1;
    TagTable m_tags;

    // Controls, reachable by tests.
    QTableWidget* m_pList = nullptr;
    QLineEdit* m_pTagIdEdit = nullptr;
    QToolButton* m_pSpinUp = nullptr;
    QToolButton* m_pSpinDown = nullptr;
    QComboBox* m_pCodingCombo = nullptr;
    QGroupBox* m_pRangeGroup = nullptr;
    QLineEdit* m_pMinEdit = nullptr;
    QLineEdit* m_pMaxEdit = nullptr;
    QLineEdit* m_pNameEdit = nullptr;
    QGroupBox* m_pLengthGroup = nullptr;
    QLineEdit* m_pLengthEdit = nullptr;
    QLabel* m_pByteLabel = nullptr;
    QRadioButton* m_pWidth[3] = {};
    QButtonGroup* m_pWidthGroup = nullptr;
    QLineEdit* m_pLabelEdit = nullptr;
    QGroupBox* m_pDefaultGroup = nullptr;
    QLineEdit* m_pDefaultEdit = nullptr;
    QComboBox* m_pDefaultCombo = nullptr;
    QPlainTextEdit* m_pDescriptionEdit = nullptr;
    QPushButton* m_pNewButton = nullptr;
    QPushButton* m_pEditButton = nullptr;
    QPushButton* m_pDeleteButton = nullptr;
    QPushButton* m_pApplyButton = nullptr;
    QPushButton* m_pCancelButton = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ConnectControls();
    QWidget* BuildLeftColumn();
    QWidget* BuildRightColumn();
    QWidget* BuildButtonRow();
    void SetBrowsing(const char* editCaption);
    void SetAdding();
    void SetEditing();
    void SetRowText(int column, const std::string& text);
    void SelectRow(int row);
    bool SelectedTag(uint32_t& code) const;
    /// Shows the selected row's tag in the fields; false, after the error message, when the row
    /// names no tag.
    bool ShowSelectedTag();
    bool AcceptsKey(QObject* field, QChar c) const;
    void SetWidth(int index);
    void ApplyWidthLimit(uint32_t limit, int index);
    bool BuildDef(TagDef& def);
};

}  // namespace nvds
