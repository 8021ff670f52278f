// System time and the conversions between FILETIME (100-nanosecond intervals since
// 1601-01-01 UTC) and SYSTEMTIME (calendar fields, proleptic Gregorian calendar).
#include <time.h>

#include "platform/host/host_internal.h"

namespace nuvex::host {
namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kTicksPerMillisecond = 10000ULL;
constexpr int64_t kSecondsPerDay = 86400;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochDays = 134774;

// Days since 1601-01-01 of a date (the civil-from-days algorithm shifted to a March year).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    unsigned yoe = static_cast<unsigned>(year - era * 400);
    unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t daysSince1970 = era * 146097 + static_cast<int64_t>(doe) - 719468;
    return daysSince1970 + kUnixEpochDays;
}

void CivilFromDays(int64_t daysSince1601, int64_t* year, unsigned* month, unsigned* day) {
    int64_t z = daysSince1601 - kUnixEpochDays + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = static_cast<int64_t>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = y + (*month <= 2);
}

bool IsLeap(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace
}  // namespace nuvex::host

using namespace nuvex::host;

void GetSystemTime(LPSYSTEMTIME time) {
    if (time == nullptr) return;
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t ticks =
        (static_cast<uint64_t>(now.tv_sec) + kUnixEpochDays * kSecondsPerDay) * kTicksPerSecond +
        static_cast<uint64_t>(now.tv_nsec) / 100;
    FILETIME fileTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    FileTimeToSystemTime(&fileTime, time);
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME time) {
    if (fileTime == nullptr || time == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    uint64_t ticks =
        (static_cast<uint64_t>(fileTime->dwHighDateTime) << 32) | fileTime->dwLowDateTime;
    if (ticks >> 63) return Fail(ERROR_INVALID_PARAMETER);  // 2^63 and above are not times
    uint64_t seconds = ticks / kTicksPerSecond;
    int64_t days = static_cast<int64_t>(seconds / kSecondsPerDay);
    uint64_t secondOfDay = seconds % kSecondsPerDay;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    time->wYear = static_cast<WORD>(year);
    time->wMonth = static_cast<WORD>(month);
    time->wDay = static_cast<WORD>(day);
    time->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
    time->wHour = static_cast<WORD>(secondOfDay / 3600);
    time->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    time->wSecond = static_cast<WORD>(secondOfDay % 60);
    time->wMilliseconds = static_cast<WORD>(ticks % kTicksPerSecond / kTicksPerMillisecond);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* time, LPFILETIME fileTime) {
    if (time == nullptr || fileTime == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // The day of the week is ignored, as on Windows; every other field must be in range.
    if (time->wYear < 1601 || time->wYear > 30827 || time->wMonth < 1 || time->wMonth > 12 ||
        time->wDay < 1 || time->wDay > DaysInMonth(time->wYear, time->wMonth) || time->wHour > 23 ||
        time->wMinute > 59 || time->wSecond > 59 || time->wMilliseconds > 999)
        return Fail(ERROR_INVALID_PARAMETER);
    uint64_t days = static_cast<uint64_t>(DaysFromCivil(time->wYear, time->wMonth, time->wDay));
    uint64_t seconds =
        days * kSecondsPerDay + time->wHour * 3600u + time->wMinute * 60u + time->wSecond;
    uint64_t ticks = seconds * kTicksPerSecond + time->wMilliseconds * kTicksPerMillisecond;
    fileTime->dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return TRUE;
}
