#include "about_box.h"

#include <commctrl.h>

#include <utility>

#include "resource.h"

namespace {

constexpr DWORD kBoxButton = kButton | BS_NOTIFY;

// 420 x 312 client pixels at 96 DPI; in tab order.
constexpr ControlLayout kAboutLayout[] = {
    {IDC_ABOUT_ICON, WC_STATICA, "", 16, 16, 32, 32, SS_ICON | SS_CENTERIMAGE, 0, FontKind::kUi},
    {IDC_ABOUT_MAKER, WC_STATICA, "", 64, 10, 340, 40, kLabel, 0, FontKind::kHeading},
    {IDC_ABOUT_VERSION, WC_STATICA, "", 64, 56, 340, 34, kText, 0, FontKind::kUi},
    {IDC_ABOUT_LEGAL, WC_STATICA, "", 64, 90, 340, 68, kText, 0, FontKind::kUi},
    {kNoId, WC_STATICA, "", 16, 166, 388, 2, SS_ETCHEDHORZ, 0, FontKind::kUi},
    {IDC_ABOUT_SUPPORT, WC_STATICA, "", 16, 176, 388, 86, kText, 0, FontKind::kUi},
    {IDC_ABOUT_WEB, WC_BUTTONA, "", 16, 270, 220, 28, kBoxButton | WS_GROUP, 0, FontKind::kUi},
    {IDC_ABOUT_OK, WC_BUTTONA, "OK", 316, 270, 88, 28, kBoxButton | BS_DEFPUSHBUTTON, 0,
     FontKind::kUi},
};

}  // namespace

bool AboutBox::Show(HINSTANCE instance, HWND owner, const AboutTexts& texts, Events events) {
  events_ = std::move(events);
  instance_ = instance;
  const bool opening = !IsOpen();
  if (opening) {
    const PopupShape shape{VMDSMGR_ABOUT_CLASS, kAboutLayout, 420, 312, IDC_ABOUT_OK,
                           IDC_ABOUT_OK};
    if (!CreatePopup(instance, owner, texts.caption.c_str(), shape)) return false;
    SetIcon();
  }
  SetTexts(texts);
  if (opening) {
    CentreOnScreen();
    ShowActive();
  } else {
    if (IsIconic(Handle())) ShowWindow(Handle(), SW_RESTORE);
    SetForegroundWindow(Handle());
    BringWindowToTop(Handle());
  }
  RedrawWindow(Handle(), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  return true;
}

void AboutBox::SetTexts(const AboutTexts& texts) {
  SetWindowTextA(Handle(), texts.caption.c_str());
  SetWindowTextA(Item(IDC_ABOUT_MAKER), texts.maker.c_str());
  SetWindowTextA(Item(IDC_ABOUT_VERSION), WithLineBreaks(texts.version).c_str());
  SetWindowTextA(Item(IDC_ABOUT_LEGAL), WithLineBreaks(texts.legal).c_str());
  SetWindowTextA(Item(IDC_ABOUT_SUPPORT), WithLineBreaks(texts.support).c_str());
  SetWindowTextA(Item(IDC_ABOUT_WEB), texts.webAddress.c_str());
}

void AboutBox::SetIcon() {
  const int size = ScaleForDpi(32, Dpi());
  HICON icon = static_cast<HICON>(
      LoadImageA(instance_, MAKEINTRESOURCEA(IDI_VMDSMGR), IMAGE_ICON, size, size, 0));
  if (icon == nullptr) return;
  SendMessageA(Item(IDC_ABOUT_ICON), STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  if (icon_ != nullptr) DestroyIcon(icon_);
  icon_ = icon;
}

void AboutBox::MakeFonts(UINT dpi, LayoutFonts& fonts) {
  PopupWindow::MakeFonts(dpi, fonts);
  LOGFONTW heading{};
  heading.lfHeight = -MulDiv(2025, static_cast<int>(dpi), 7200);  // Arial bold 20.25 pt
  heading.lfWeight = FW_BOLD;
  heading.lfCharSet = DEFAULT_CHARSET;
  heading.lfQuality = CLEARTYPE_QUALITY;
  heading.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  lstrcpynW(heading.lfFaceName, L"Arial", LF_FACESIZE);
  fonts.heading = CreateFontIndirectW(&heading);
}

void AboutBox::OnButton(int id) {
  if (id == IDC_ABOUT_WEB) {
    if (events_.web) events_.web();
  } else if (id == IDC_ABOUT_OK) {
    Close();
  }
}

void AboutBox::OnCloseRequest() { Close(); }

void AboutBox::OnDestroy() {
  if (icon_ != nullptr) DestroyIcon(icon_);
  icon_ = nullptr;
}
