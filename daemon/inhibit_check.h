// Whether the charge inhibit can be used, judged by repeated evidence rather
// than by one refused write: a controller busy for a moment must not leave
// the adapter-only hold in place for months.
#pragma once

// Start-up: hands charging back (the inhibit key persists in the controller).
// Two refusals in a row mean charging cannot be inhibited (logged through
// markChargeInhibitUnusable); one refusal only logs the write's own lines.
void checkChargeInhibitAtStartUp();

// After every pass: a run of refused inhibit writes switches to the
// adapter-only hold, logged once. An inhibit judged unusable by refusals
// (not stub keys) is tried again after each wake (`afterSleep`) and hourly,
// silently while it is refused; one accepted write returns to the normal
// hold, logged once.
void judgeChargeInhibit(bool afterSleep);
