#pragma once
// The only things the user ever sees: modal dialogs titled "Varnix Launcher".

#include "platform/text.h"

namespace varnix {

inline constexpr wchar_t kDialogTitle[] = L"Varnix Launcher";

// commonButtons uses the task dialog's TDCBF_* bits; icon is a TD_*_ICON resource.
int showTaskDialog(const WideString& windowTitle, const WideString& mainInstruction,
                   const WideString& content, int commonButtons, const wchar_t* icon);

void showInfo(const WideString& mainInstruction, const WideString& content);
void showError(const WideString& mainInstruction, const WideString& content);
// True only when the user pressed Yes.
bool askYesNo(const WideString& mainInstruction, const WideString& content);

}  // namespace varnix
