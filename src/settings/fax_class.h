// Fax class codes. The settings file stores the class as 0 (auto detect), 1 (Class 1),
// 2 (Class 2) or 3 (Class 2.0); the fax components count one higher because their
// enumeration starts with fcUnknown.
#pragma once

namespace pellora::settings {

enum TFaxClass : int { fcUnknown, fcDetect, fcClass1, fcClass2, fcClass2_0 };

// Highest class code the settings file may hold.
inline constexpr int kMaxFaxClassSetting = 3;

// Settings code 0..3 to the component class. A code outside that range cannot come from the
// Preferences dialog; it falls back to auto detection, which works with every modem.
constexpr TFaxClass faxClassFromSetting(int code) {
    if (code < 0 || code > kMaxFaxClassSetting) return fcDetect;
    return static_cast<TFaxClass>(code + 1);
}

// The component class back to the settings code; fcUnknown is stored as auto detect.
constexpr int settingFromFaxClass(TFaxClass faxClass) {
    return faxClass <= fcDetect || faxClass > fcClass2_0 ? 0 : static_cast<int>(faxClass) - 1;
}

}  // namespace pellora::settings
