#!/usr/bin/env python3
"""How scripts/windows-test judges a hung test program: only a thread that spins in Wine's
timer-queue deletion lets the program run once more. The backtraces are winedbg's, taken
from hung programs under Wine 8 (trimmed to their first frames)."""
import importlib.machinery
import importlib.util
import unittest
from pathlib import Path

loader = importlib.machinery.SourceFileLoader("windows_test", str(Path(__file__).with_name("windows-test")))
spec = importlib.util.spec_from_loader("windows_test", loader)
windows_test = importlib.util.module_from_spec(spec)
loader.exec_module(windows_test)

# The exiting child of RotationShutdownDeathTest, caught twice: inside a helper of the walk
# over the queue's timers, and in the walk itself.
SPINNING_IN_A_HELPER = """\
=>0 0x00000170061af5 queue_add_timer+0x13(set_event=<internal error>, time=<internal error>, t=<internal error>) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:615] in ntdll (0x00000000350ab0)
  1 0x00000170061af5 queue_move_timer+0x26(set_event=<internal error>, time=<internal error>, t=<internal error>) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:842] in ntdll (0x00000000350ab0)
  2 0x00000170061af5 queue_destroy_timer+0x26(t=<internal error>) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:842] in ntdll (0x00000000350ab0)
  3 0x00000170061af5 queue_destroy_timer+0x55(t=<internal error>) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:756] in ntdll (0x00000000350ab0)
  4 0x00000170061af5 RtlDeleteTimerQueueEx+0xc5(TimerQueue=[<register R15 not accessible in this frame>, CompletionEvent=<register R12 not accessible in this frame>) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:842] in ntdll (0x00000000350ab0)
  5 0x0000007b0772e3 DeleteTimerQueueEx+0xb(queue=<internal error>, event=<internal error>) [Z:\\tmp\\dlls\\kernelbase\\sync.c:840] in kernelbase (0x0000000021f570)
  6 0x00000140037c23 in runtime_tests (+0x37c23) (0x0000000021f570)
  7 0x00000140037d20 in runtime_tests (+0x37d20) (0x0000000021f5b0)
  8 0x00000228297c70 execute_onexit_table+0x8d(table=<internal error>) [Z:\\tmp\\dlls\\msvcrt\\exit.c:134] in msvcrt (0x0000000021f6d0)"""
SPINNING_IN_THE_WALK = """\
=>0 0x00000170061aba RtlDeleteTimerQueueEx+0x8a(TimerQueue=00000000516D6954, CompletionEvent=FFFFFFFFFFFFFFFF) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:842] in ntdll (0x00000000350ab0)
  1 0x0000007b0772e3 DeleteTimerQueueEx+0xb(queue=<internal error>, event=<internal error>) [Z:\\tmp\\dlls\\kernelbase\\sync.c:840] in kernelbase (0x0000000021f570)
  2 0x00000140037c23 in runtime_tests (+0x37c23) (0x0000000021f570)"""
# A deletion that waits, as it should, for a callback that never ends: a hang of the program's
# own making.
WAITING_FOR_A_CALLBACK = """\
=>0 0x0000017000ec04 in ntdll (+0xec04) (0x000000003491f0)
  1 0x00000170061be7 RtlDeleteTimerQueueEx+0x1b7(TimerQueue=<internal error>, CompletionEvent=FFFFFFFFFFFFFFFF) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:852] in ntdll (0x000000003491f0)
  2 0x0000007b0772e3 DeleteTimerQueueEx+0xb(queue=<internal error>, event=<internal error>) [Z:\\tmp\\dlls\\kernelbase\\sync.c:840] in kernelbase (0x0000000021fd40)
  3 0x0000014000164c in wait_probe (+0x164c) (0x0000000021fd40)"""
# A worker that finished a check and waits for the queue's lock: seen beside the spinning
# thread, but not the spinning itself.
WORKER_WAITING_FOR_THE_QUEUE = """\
=>0 0x0000017000eb84 in ntdll (+0xeb84) (0x00000001b1fa38)
  1 0x0000017005c4d8 _InterlockedCompareExchange(addr=0000000000350AD0, cmp=0000000170079F88, size=<internal error>, timeout=0000000001B1FA38) [Z:\\tmp\\include\\winnt.h:6630] in ntdll (0x00000001b1fa38)
  2 0x0000017005c4d8 spin_lock(addr=<register R12 not accessible in this frame>, cmp=<register R13 not accessible in this frame>, size=<internal error>, timeout=<register RBP not accessible in this frame>) [Z:\\tmp\\dlls\\ntdll\\sync.c:937] in ntdll (0x00000001b1fa38)
  3 0x0000017005c4d8 RtlWaitOnAddress+0x168(addr=<register R12 not accessible in this frame>, cmp=<register R13 not accessible in this frame>, size=<internal error>, timeout=<register RBP not accessible in this frame>) [Z:\\tmp\\dlls\\ntdll\\sync.c:937] in ntdll (0x00000001b1fa38)
  4 0x0000017005c944 wait_semaphore+0x20d(timeout=<internal error>, crit=<internal error>) [Z:\\tmp\\dlls\\ntdll\\sync.c:197] in ntdll (0x00000000350ab8)
  5 0x0000017005c944 RtlpWaitForCriticalSection+0x254(crit=<register RBP not accessible in this frame>) [Z:\\tmp\\dlls\\ntdll\\sync.c:161] in ntdll (0x00000000350ab8)
  6 0x0000017005cee1 RtlEnterCriticalSection+0x91(crit=<register RBX not accessible in this frame>) [Z:\\tmp\\dlls\\ntdll\\sync.c:412] in ntdll (0x00000001b1fd20)
  7 0x0000017005eca8 timer_cleanup_callback+0x18(t=<register RBX not accessible in this frame>) [Z:\\tmp\\dlls\\ntdll\\threadpool.c:584] in ntdll (0x00000001b1fd20)"""
# The parent of a death test, reading its child's pipe.
READING_A_PIPE = """\
=>0 0x0000017000e3a4 in ntdll (+0xe3a4) (0x0000000021f237)
  1 0x0000007b01fbb8 ReadFile+0x140(file=0000000000000060, buffer=000000000021F237, count=0x1, result=000000000021F188, overlapped=0000000000000000) [Z:\\tmp\\dlls\\kernelbase\\file.c:3411] in kernelbase (0x0000000021f237)
  2 0x0000022829de10 read_i+0x169(count=<internal error>, buf=<internal error>, fdinfo=<internal error>, fd=<internal error>) [Z:\\tmp\\dlls\\msvcrt\\file.c:2931] in msvcrt (0x00000000000060)"""

KNOWN = "Wine's DeleteTimerQueueEx livelock (two timers of the queue with callbacks pending)"


class HangCauses(unittest.TestCase):
    def test_cause_of_a_hang(self):
        cases = [
            ("spinning in a helper of the walk", {"a": READING_A_PIPE, "b": SPINNING_IN_A_HELPER,
                                                  "c": WORKER_WAITING_FOR_THE_QUEUE}, KNOWN),
            ("spinning in the walk", {"a": SPINNING_IN_THE_WALK}, KNOWN),
            ("waiting in the deletion for a callback", {"a": WAITING_FOR_A_CALLBACK,
                                                        "b": WORKER_WAITING_FOR_THE_QUEUE}, None),
            ("only the waits around the spinning thread", {"a": READING_A_PIPE,
                                                           "b": WORKER_WAITING_FOR_THE_QUEUE}, None),
            ("no symbols at all", {"a": "=>0 0x0000017000e3a4 in ntdll (+0xe3a4) (0x0000000021f237)"}, None),
            ("winedbg could not run", {"winedbg": "winedbg failed: [Errno 2] No such file or directory"}, None),
            ("no process found", {}, None),
        ]
        for name, backtraces, cause in cases:
            with self.subTest(name):
                self.assertEqual(windows_test.known_hang(backtraces), cause)

    def test_threads_of_the_program_in_winedbgs_listing(self):
        listing = ("process  tid      prio    name (all IDs are in hex)\n"
                   "00000038 services.exe\n"
                   "\t0000003c    0     \n"
                   "000005b4 runtime_tests.exe\n"
                   "\t000005bc    0     \n"
                   "000005e8 (D) Z:\\work\\bin\\Runtime_Tests.exe\n"
                   "\t000005c8    0     \n"
                   "\t000005fc    0     wine_threadpool_timer_queue\n"
                   "000005f8 start.exe\n"
                   "\t00000620    0     \n")
        self.assertEqual(windows_test.threads_of(listing, "runtime_tests.exe"),
                         {"000005b4": [("000005bc", "")],
                          "000005e8": [("000005c8", ""), ("000005fc", "wine_threadpool_timer_queue")]})
        self.assertEqual(windows_test.threads_of(listing, "agent_tests.exe"), {})


if __name__ == "__main__":
    unittest.main()
