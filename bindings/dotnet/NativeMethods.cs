using System;
using System.Runtime.InteropServices;

namespace Kestrova
{
    /// <summary>The Windows functions the wrapper uses besides KestrovaAPI.dll.</summary>
    internal static class NativeMethods
    {
        internal const uint WAIT_OBJECT_0 = 0;
        internal const uint WAIT_FAILED = 0xFFFFFFFF;
        internal const uint QS_ALLINPUT = 0x04FF;
        internal const uint MWMO_INPUTAVAILABLE = 0x0004;
        internal const uint PM_REMOVE = 0x0001;
        internal const uint PM_NOREMOVE = 0x0000;
        internal const uint WM_QUIT = 0x0012;

        [StructLayout(LayoutKind.Sequential)]
        internal struct MSG
        {
            public IntPtr hwnd;
            public uint message;
            public IntPtr wParam;
            public IntPtr lParam;
            public uint time;
            public int ptX;
            public int ptY;
        }

        [DllImport("user32", ExactSpelling = true)]
        internal static extern uint MsgWaitForMultipleObjectsEx(uint count, IntPtr[] handles, uint milliseconds,
                                                                uint wakeMask, uint flags);

        [DllImport("user32", ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool PeekMessageW(out MSG msg, IntPtr hwnd, uint filterMin, uint filterMax, uint remove);

        [DllImport("user32", ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool TranslateMessage(ref MSG msg);

        [DllImport("user32", ExactSpelling = true)]
        internal static extern IntPtr DispatchMessageW(ref MSG msg);

        [DllImport("user32", ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool IsWindow(IntPtr hwnd);

        [DllImport("kernel32", ExactSpelling = true, CharSet = CharSet.Unicode, SetLastError = true)]
        internal static extern IntPtr LoadLibraryW(string path);

        [DllImport("kernel32", ExactSpelling = true, CharSet = CharSet.Ansi, BestFitMapping = false)]
        internal static extern IntPtr GetProcAddress(IntPtr module, string name);

        [DllImport("kernel32", ExactSpelling = true)]
        internal static extern uint GetACP();

        internal const uint CP_ACP = 0;
        internal const uint CP_UTF8 = 65001;
        internal const uint WC_NO_BEST_FIT_CHARS = 0x0400;
        internal const uint WC_ERR_INVALID_CHARS = 0x0080;

        [DllImport("kernel32", ExactSpelling = true, SetLastError = true)]
        internal static extern unsafe int WideCharToMultiByte(uint codePage, uint flags, char* text, int length,
                                                              byte* bytes, int size, IntPtr defaultChar,
                                                              int* usedDefaultChar);

        [DllImport("kernel32", ExactSpelling = true)]
        internal static extern unsafe int MultiByteToWideChar(uint codePage, uint flags, byte* bytes, int size,
                                                              char* text, int length);

        // DDEML, for the presence check.
        internal const uint APPCMD_CLIENTONLY = 0x00000010;
        internal const uint CBF_FAIL_ALLSVRXACTIONS = 0x0003F000;
        internal const uint CBF_SKIP_CONNECT_CONFIRMS = 0x00040000;
        internal const uint CBF_SKIP_REGISTRATIONS = 0x00080000;
        internal const uint CBF_SKIP_UNREGISTRATIONS = 0x00100000;
        internal const uint DMLERR_NO_ERROR = 0;
        internal const int CP_WINANSI = 1004;
        internal const uint XTYP_DISCONNECT = 0x00C2;
        internal const uint QID_SYNC = 0xFFFFFFFF;
        internal const uint ST_CONNECTED = 0x0001;
        internal const uint ST_TERMINATED = 0x0020;

        [UnmanagedFunctionPointer(CallingConvention.StdCall)]
        internal delegate IntPtr DdeCallback(uint type, uint format, IntPtr conversation, IntPtr text1, IntPtr text2,
                                             IntPtr data, UIntPtr data1, UIntPtr data2);

        [StructLayout(LayoutKind.Sequential)]
        internal struct SECURITY_QUALITY_OF_SERVICE
        {
            public uint Length;
            public int ImpersonationLevel;
            public byte ContextTrackingMode;
            public byte EffectiveOnly;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct CONVCONTEXT
        {
            public uint cb;
            public uint wFlags;
            public int iCountryID;
            public int iCodePage;
            public uint dwLangID;
            public uint dwSecurity;
            public SECURITY_QUALITY_OF_SERVICE qos;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct CONVINFO
        {
            public uint cb;
            public UIntPtr hUser;
            public IntPtr hConvPartner;
            public IntPtr hszSvcPartner;
            public IntPtr hszServiceReq;
            public IntPtr hszTopic;
            public IntPtr hszItem;
            public uint wFmt;
            public uint wType;
            public uint wStatus;
            public uint wConvst;
            public uint wLastError;
            public IntPtr hConvList;
            public CONVCONTEXT ConvCtxt;
            public IntPtr hwnd;
            public IntPtr hwndPartner;
        }

        [DllImport("user32", ExactSpelling = true)]
        internal static extern uint DdeInitializeA(ref uint instance, DdeCallback callback, uint flags, uint reserved);

        [DllImport("user32", ExactSpelling = true, CharSet = CharSet.Ansi, BestFitMapping = false)]
        internal static extern IntPtr DdeCreateStringHandleA(uint instance, string text, int codePage);

        [DllImport("user32", ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool DdeFreeStringHandle(uint instance, IntPtr text);

        [DllImport("user32", ExactSpelling = true)]
        internal static extern IntPtr DdeConnect(uint instance, IntPtr service, IntPtr topic, IntPtr context);

        [DllImport("user32", ExactSpelling = true)]
        internal static extern uint DdeQueryConvInfo(IntPtr conversation, uint transaction, ref CONVINFO info);

        [DllImport("user32", ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool DdeUninitialize(uint instance);
    }
}
