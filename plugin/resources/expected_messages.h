// The message texts the module must carry, written out independently of the
// resource script so that tests compare two separate sources. Index = string
// id; index 0 is no message.
#ifndef QMX_PLUGIN_RESOURCES_EXPECTED_MESSAGES_H_
#define QMX_PLUGIN_RESOURCES_EXPECTED_MESSAGES_H_

#include <string_view>

namespace resources_expected {

inline constexpr int kFirstId = 1;
inline constexpr int kLastId = 44;
// Resource language of every string: Japanese (LANG_JAPANESE, SUBLANG_DEFAULT).
inline constexpr unsigned kLanguage = 0x0411;

inline constexpr std::u16string_view kMessages[kLastId + 1] = {
    u"",
    u"USB 印刷サポート",
    u"USB Printing Support",
    u"プリンタエラー",
    u"Printer Error",
    u"プリンタドライバエラー",
    u"Printer Driver Error",
    u"\n印刷を中止します          ",
    u"\nThis print job is canceled.          ",
    u"\n[再試行]:印刷再開   [キャンセル]:印刷中止   ",
    u"\n[Retry]:Restart print job   [Cancel]:Cancel print job",
    u"ドライバリソース不足",
    u"Insufficient driver memory",
    u"ドライバを検出できません",
    u"The printer driver could not be detected.",
    u"プリンタに異常が発生しました   ",
    u"Some errors occurred in the printer.      ",
    u"状態:  ",
    u"Status:  ",
    u"カバーオープン",
    u"Cover open",
    u"電源電圧異常 ",
    u"Voltage abnormality",
    u"ヘッドアップ",
    u"Platen open",
    u"モータ/ヘッド温度異常 ",
    u"Motor/Platen temperature abnormality",
    u"用紙なし ",
    u"Paper run out",
    u"メカチルト",
    u"Tilt open",
    u"カッタ異常 ",
    u"Cutter abnormality",
    u"ハードウェア異常 ",
    u"Hardware abnormality",
    u"用紙搬送異常",
    u"yousi hansou ijou",
    u"異常用紙検出",
    u"ijou yousi kensyutu",
    u"回収異常",
    u"kaisyuu ijou",
    u"印字中用紙回収異常",
    u"injityuu yousi kaisyuu ijou",
    u"巻き取り異常",
    u"makitori ijou",
};

// Ids a reader may try that must find nothing.
inline constexpr int kAbsentIds[] = {0, 45, 46, 47};

// Version block.
inline constexpr unsigned kVersionMS = 0x00020000;  // 2.0
inline constexpr unsigned kVersionLS = 0x00000000;  // .0.0
inline constexpr unsigned kFileOs = 0x00040004;     // VOS_NT_WINDOWS32
inline constexpr unsigned kFileType = 0x00000002;   // VFT_DLL
inline constexpr std::u16string_view kStringBlock = u"040904b0";
inline constexpr unsigned kTranslationLanguage = 0x0409;
inline constexpr unsigned kTranslationCodePage = 0x04B0;

struct VersionString {
  std::u16string_view key;
  std::u16string_view value;  // empty: must be empty; kAnyText: any non-empty text
};
inline constexpr std::u16string_view kAnyText = u"\x1F";
inline constexpr VersionString kVersionStrings[] = {
    {u"Comments", kAnyText},         {u"CompanyName", kAnyText},    {u"FileDescription", kAnyText},
    {u"FileVersion", u"2, 0, 0, 0"}, {u"InternalName", kAnyText},   {u"LegalCopyright", kAnyText},
    {u"LegalTrademarks", u""},       {u"OriginalFilename", kAnyText}, {u"PrivateBuild", u""},
    {u"ProductName", kAnyText},      {u"ProductVersion", u"2.0.0.0"}, {u"SpecialBuild", u""},
};

}  // namespace resources_expected

#endif  // QMX_PLUGIN_RESOURCES_EXPECTED_MESSAGES_H_
