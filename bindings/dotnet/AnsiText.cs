using System;
using System.Runtime.InteropServices;

namespace Kestrova
{
    /// <summary>
    /// Text in the process's ANSI code page as Windows reports it (GetACP):
    /// 1252, 932, or 65001 where the process runs with UTF-8 as its ANSI
    /// code page. No character is replaced by a look-alike or a question
    /// mark: the phone would dial or show something else.
    /// </summary>
    internal static class AnsiText
    {
        /// <summary>
        /// The text as a NUL-terminated byte string. Throws ArgumentException
        /// for a control character (a CR or LF adds lines to the card the
        /// phone application reads) or one the code page cannot hold.
        /// </summary>
        internal static unsafe byte[] Encode(string text, string parameter)
        {
            if (text == null) text = "";
            for (int i = 0; i < text.Length; ++i) {
                if (char.IsControl(text[i]))
                    throw new ArgumentException("The text holds a control character (U+" + ((int)text[i]).ToString("X4") +
                                                ") at position " + i + ".", parameter);
            }
            if (text.Length == 0) return new byte[1];
            uint codePage = NativeMethods.GetACP();
            bool utf8 = codePage == NativeMethods.CP_UTF8;
            // UTF-8 takes no best-fit flag and reports no default character:
            // an unpaired surrogate is what it cannot hold.
            uint flags = utf8 ? NativeMethods.WC_ERR_INVALID_CHARS : NativeMethods.WC_NO_BEST_FIT_CHARS;
            fixed (char* chars = text) {
                int usedDefault = 0;
                int* usedDefaultPointer = utf8 ? null : &usedDefault;
                int size = NativeMethods.WideCharToMultiByte(codePage, flags, chars, text.Length, null, 0,
                                                             IntPtr.Zero, usedDefaultPointer);
                if (size <= 0 || usedDefault != 0) throw Unmappable(codePage, parameter);
                var bytes = new byte[size + 1];
                fixed (byte* output = bytes) {
                    int written = NativeMethods.WideCharToMultiByte(codePage, flags, chars, text.Length, output, size,
                                                                    IntPtr.Zero, usedDefaultPointer);
                    if (written != size || usedDefault != 0) throw Unmappable(codePage, parameter);
                }
                return bytes;
            }
        }

        /// <summary>A NUL-terminated byte string of the ANSI code page.</summary>
        internal static unsafe string Decode(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            byte* bytes = (byte*)text;
            int size = 0;
            while (bytes[size] != 0) ++size;
            if (size == 0) return "";
            int length = NativeMethods.MultiByteToWideChar(NativeMethods.CP_ACP, 0, bytes, size, null, 0);
            if (length <= 0) return Marshal.PtrToStringAnsi(text, size);
            var chars = new char[length];
            fixed (char* output = chars) {
                length = NativeMethods.MultiByteToWideChar(NativeMethods.CP_ACP, 0, bytes, size, output, length);
            }
            return new string(chars, 0, Math.Max(length, 0));
        }

        static ArgumentException Unmappable(uint codePage, string parameter)
        {
            return new ArgumentException("The text holds a character that the ANSI code page (" + codePage +
                                         ") cannot hold; nothing was dialled.", parameter);
        }
    }
}
