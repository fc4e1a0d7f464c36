using System;
using System.Runtime.InteropServices;

namespace Kestrova
{
    /// <summary>
    /// Whether the phone application serves "Kestrova"/"Server", asked
    /// through a DDE instance of its own, on the link's thread. It hands
    /// over no card, so it never starts the phone application. The
    /// conversation stays open so that a restart quicker than one check is
    /// seen too: an application that quits ends it, one that crashed leaves
    /// it with a partner window that is gone.
    /// </summary>
    internal sealed class PhonePresence : IDisposable
    {
        const uint Flags = NativeMethods.APPCMD_CLIENTONLY | NativeMethods.CBF_FAIL_ALLSVRXACTIONS |
                           NativeMethods.CBF_SKIP_CONNECT_CONFIRMS | NativeMethods.CBF_SKIP_REGISTRATIONS |
                           NativeMethods.CBF_SKIP_UNREGISTRATIONS;

        readonly NativeMethods.DdeCallback callback;  // kept alive while DDE may call it
        uint instance;
        IntPtr service;
        IntPtr topic;
        IntPtr conversation;
        bool disconnected;

        internal PhonePresence()
        {
            callback = OnDdeEvent;
        }

        /// <summary>Whether a conversation is open.</summary>
        internal bool IsOpen => conversation != IntPtr.Zero;

        /// <summary>Connects if not connected; true when the phone application answers.</summary>
        internal bool Connect()
        {
            if (conversation != IntPtr.Zero) return true;
            if (!OpenInstance()) return false;
            disconnected = false;
            conversation = NativeMethods.DdeConnect(instance, service, topic, IntPtr.Zero);
            return conversation != IntPtr.Zero;
        }

        /// <summary>
        /// Whether the conversation still leads to a running phone
        /// application; when not, the instance is dropped, as under Wine an
        /// instance that lost a conversation connects to the service no more.
        /// </summary>
        internal bool StillConnected()
        {
            if (conversation == IntPtr.Zero) return false;
            var info = new NativeMethods.CONVINFO { cb = (uint)Marshal.SizeOf<NativeMethods.CONVINFO>() };
            bool connected = !disconnected &&
                             NativeMethods.DdeQueryConvInfo(conversation, NativeMethods.QID_SYNC, ref info) != 0 &&
                             (info.wStatus & NativeMethods.ST_CONNECTED) != 0 &&
                             (info.wStatus & NativeMethods.ST_TERMINATED) == 0 &&
                             NativeMethods.IsWindow(info.hwndPartner);
            if (!connected) Dispose();
            return connected;
        }

        /// <summary>Ends the conversation and the instance.</summary>
        public void Dispose()
        {
            if (instance == 0) return;
            NativeMethods.DdeFreeStringHandle(instance, service);
            NativeMethods.DdeFreeStringHandle(instance, topic);
            NativeMethods.DdeUninitialize(instance);  // ends the conversation as well
            instance = 0;
            service = topic = conversation = IntPtr.Zero;
            disconnected = false;
        }

        bool OpenInstance()
        {
            if (instance != 0) return true;
            if (NativeMethods.DdeInitializeA(ref instance, callback, Flags, 0) != NativeMethods.DMLERR_NO_ERROR) {
                instance = 0;
                return false;
            }
            service = NativeMethods.DdeCreateStringHandleA(instance, "Kestrova", NativeMethods.CP_WINANSI);
            topic = NativeMethods.DdeCreateStringHandleA(instance, "Server", NativeMethods.CP_WINANSI);
            return true;
        }

        IntPtr OnDdeEvent(uint type, uint format, IntPtr conversation, IntPtr text1, IntPtr text2, IntPtr data,
                          UIntPtr data1, UIntPtr data2)
        {
            if (type == NativeMethods.XTYP_DISCONNECT && conversation == this.conversation) disconnected = true;
            return IntPtr.Zero;
        }
    }
}
