#pragma once
// The dialogs' numeric control IDs and the object names their widgets
// carry, for tests that name a control by its ID. 1012 is the write button
// of both the scan page and the increment page.
#include <string_view>

namespace ts::gui::test {

struct ControlName {
    int id;
    const char* objectName;
    const char* form;  // the .ui form that holds it
};

inline constexpr ControlName kControlNames[] = {
    {1, "okButton", "AboutDlg"},         {2, "cancelButton", "DlgListID"},
    {1000, "closeButton", "MainDlg"},    {1001, "writeModeRadio", "MainDlg"},
    {1002, "readModeRadio", "MainDlg"},  {1003, "pageTabs", "MainDlg"},
    {1004, "idFileButton", "DlgCh1"},    {1005, "idFilePathEdit", "DlgCh1"},
    {1007, "currentIdEdit", "DlgCh1"},   {1008, "manualWriteButton", "DlgCh1"},
    {1009, "autoWriteButton", "DlgCh1"}, {1010, "logEdit", "MainDlg"},
    {1011, "scanIdEdit", "DlgCh2"},      {1012, "writeButton", "DlgCh2"},
    {1012, "writeButton", "DlgCh3"},     {1013, "scanIdLabel", "DlgCh2"},
    {1014, "increaseRadio", "DlgCh3"},   {1015, "decreaseRadio", "DlgCh3"},
    {1016, "prefixLabel", "DlgCh3"},     {1017, "counterLabel", "DlgCh3"},
    {1018, "suffixLabel", "DlgCh3"},     {1020, "prefixEdit", "DlgCh3"},
    {1021, "counterEdit", "DlgCh3"},     {1022, "suffixEdit", "DlgCh3"},
    {1023, "currentIdLabel", "DlgCh1"},  {1025, "filterEdit", "DlgListID"},
    {1026, "idTable", "DlgListID"},      {1027, "chooseButton", "DlgListID"},
    {1028, "clearLogButton", "MainDlg"},
};

// The object name of control `id`; nullptr for an ID no dialog has.
constexpr const char* ControlObjectName(int id) {
    for (const ControlName& c : kControlNames)
        if (c.id == id) return c.objectName;
    return nullptr;
}

}  // namespace ts::gui::test
