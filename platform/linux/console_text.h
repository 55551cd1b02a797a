// Text for the user's locale: the program's texts are code page 950 (Big5)
// bytes, a terminal wants the locale's character set.
#pragma once

// True when the locale's character set can show every Chinese text; where it
// cannot, English is shown rather than characters that do not read.
bool LocaleShowsChinese();
