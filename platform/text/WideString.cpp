// The C library's wide-string functions, for the platform's 16-bit WCHAR.
#include <windows.h>

size_t wcslen(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
  auto upper = [](WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; };
  while (*a && upper(*a) == upper(*b)) ++a, ++b;
  WCHAR x = upper(*a), y = upper(*b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
  WCHAR* d = dst;
  while ((*d++ = *src++) != 0) {
  }
  return dst;
}

// As in C: copies at most n characters and pads with zeros; the result is
// not terminated when src has n characters or more.
WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
  return dst;
}

WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
  const WCHAR* last = nullptr;
  for (;; ++s) {
    if (*s == c) last = s;
    if (*s == 0) return const_cast<WCHAR*>(last);
  }
}

