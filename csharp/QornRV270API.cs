// C# access to QornRV270API beside the P/Invoke declarations (QornRV270API.Native.cs):
// GBK texts, the result codes and their texts, and a Terminal class for the common
// exports that turns failures into RV270Exception (its Task-based waits for the customer
// are in QornRV270API.Tasks.cs).
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Qorn.RV270
{
    /// <summary>The library's 8-bit texts are GBK (code page 936). Mono and the .NET
    /// Framework have the code page built in; on .NET Core and .NET 5 or later call
    /// Encoding.RegisterProvider(CodePagesEncodingProvider.Instance) before first use.</summary>
    public static class Gbk
    {
        public static readonly Encoding Encoding = Encoding.GetEncoding(936);

        /// <summary>The GBK bytes of text with a terminating zero.</summary>
        public static byte[] Bytes(string text)
        {
            byte[] body = Encoding.GetBytes(text);
            byte[] bytes = new byte[body.Length + 1];
            Buffer.BlockCopy(body, 0, bytes, 0, body.Length);
            return bytes;
        }

        /// <summary>The text of a zeroed buffer the library filled: up to the first zero,
        /// or the whole buffer when the library left no terminator.</summary>
        public static string Text(byte[] buffer)
        {
            int length = Array.IndexOf(buffer, (byte)0);
            return Encoding.GetString(buffer, 0, length < 0 ? buffer.Length : length);
        }
    }

    /// <summary>Marshals a string argument as zero-terminated GBK bytes (null stays null).</summary>
    public sealed class GbkMarshaler : ICustomMarshaler
    {
        private static readonly GbkMarshaler Instance = new GbkMarshaler();

        public static ICustomMarshaler GetInstance(string cookie) { return Instance; }

        public IntPtr MarshalManagedToNative(object managed)
        {
            if (managed == null) return IntPtr.Zero;
            byte[] bytes = Gbk.Bytes((string)managed);
            IntPtr native = Marshal.AllocHGlobal(bytes.Length);
            Marshal.Copy(bytes, 0, native, bytes.Length);
            return native;
        }

        public void CleanUpNativeData(IntPtr native)
        {
            if (native != IntPtr.Zero) Marshal.FreeHGlobal(native);
        }

        // The texts this marshaler carries only go in.
        public object MarshalNativeToManaged(IntPtr native) { throw new NotSupportedException(); }
        public void CleanUpManagedData(object managed) { }
        public int GetNativeDataSize() { return -1; }
    }

    /// <summary>The result codes of RV270Api_GetErrorCode and their texts.</summary>
    public static class ErrorTexts
    {
        private static readonly Dictionary<int, string> Texts = new Dictionary<int, string>
        {
            { 0, "Device work normally" }, { 100, "param error" }, { 101, "simulator error" },
            { 102, "cannot connect device" }, { 103, "received data error" },
            { 104, "download bin error" }, { 105, "search device id error" },
            { 106, "file path is null" }, { 107, "file is not exists" },
            { 108, "directory is invalid" }, { 109, "download single file error" },
            { 110, "unknown file type" }, { 111, "directory have no file" },
            { 112, "download file in directory error" }, { 114, "write pos to file error" },
            { 115, "upload signed picture error" }, { 116, "change to monochrome bitmap error" },
            { 117, "cannot find compress path" }, { 118, "download zipfile error" },
            { 119, "compress file error" }, { 120, "change to simulator error" },
            { 121, "function is canceled" }, { 122, "result Length over" },
            { 123, "device is busy" }, { 124, "Parameter is not reasonable" },
            { 125, "Hardware operation exception" }, { 126, "setup bin error" },
            { 127, "volume is not setted" }, { 128, "handle is timeout" },
        };

        /// <summary>The text of a code; codes without one read "Device work normally".</summary>
        public static string Of(int code)
        {
            string text;
            return Texts.TryGetValue(code, out text) ? text : Texts[0];
        }
    }

    /// <summary>An export failed: its negative result, the last error code and its text.</summary>
    public sealed class RV270Exception : Exception
    {
        public string Export { get; private set; }
        public int Result { get; private set; }
        public int ErrorCode { get; private set; }
        public string Text { get; private set; }

        public RV270Exception(string export, int result, int errorCode)
            : base(string.Format("{0} returned {1} (last error {2}: {3})", export, result, errorCode,
                ErrorTexts.Of(errorCode)))
        {
            Export = export;
            Result = result;
            ErrorCode = errorCode;
            Text = ErrorTexts.Of(errorCode);
        }
    }

    /// <summary>One terminal: port 0 or 1001 is USB, any other number that serial port.
    /// Each method is one export call; timeouts are in seconds. An export the loaded
    /// library lacks throws EntryPointNotFoundException when first called.</summary>
    public sealed partial class Terminal
    {
        public int Port { get; private set; }
        public int Selector { get; private set; }

        public Terminal(int port = 0, int selector = 0)
        {
            Port = port;
            Selector = selector;
        }

        /// <summary>Returns a non-negative result; throws RV270Exception for a negative one.</summary>
        public static int Check(string export, int result)
        {
            if (result < 0) throw new RV270Exception(export, result, NativeMethods.RV270Api_GetErrorCode());
            return result;
        }

        public int WorkingStatus()
        {
            return Check("RV270Api_GetWorkingStatus", NativeMethods.RV270Api_GetWorkingStatus(Port, Selector));
        }

        public string DeviceInfo(int size = 512)
        {
            byte[] buffer = new byte[size + 1];
            Check("RV270Api_GetDeviceInfo", NativeMethods.RV270Api_GetDeviceInfo(Port, Selector, size, buffer));
            return Gbk.Text(buffer);
        }

        public string Version()
        {
            byte[] buffer = new byte[1025];
            Check("RV270Api_GetVersion", NativeMethods.RV270Api_GetVersion(Port, Selector, buffer));
            return Gbk.Text(buffer);
        }

        public void SetWelcome(string text)
        {
            Check("RV270Api_SetWelCome", NativeMethods.RV270Api_SetWelCome(Port, Selector, text));
        }

        public void InitStatusBar(string text)
        {
            Check("RV270Api_InitStatusBar", NativeMethods.RV270Api_InitStatusBar(Port, Selector, text));
        }

        /// <summary>Shows text and speaks voice (when given); mode 1 waits for the customer
        /// and returns the answer (0 confirm).</summary>
        public int ShowInfo(string text, string voice = null, int mode = 0, int timeout = 30)
        {
            return Check("RV270Api_ShowInfo", NativeMethods.RV270Api_ShowInfo(Port, Selector, mode, text,
                voice == null ? 0 : 1, voice ?? "", timeout));
        }

        /// <summary>Speaks text with its numbers read out.</summary>
        public void Say(string text)
        {
            Check("RV270Api_ReadVoice", NativeMethods.RV270Api_ReadVoice(Port, Selector, 0, text));
        }

        public void SetVolume(int level, int kind = 0)
        {
            Check("RV270Api_SetVoiceVolume", NativeMethods.RV270Api_SetVoiceVolume(Port, Selector, kind, level));
        }

        public int Volume(int kind = 0)
        {
            return Check("RV270Api_GetVoiceVolume", NativeMethods.RV270Api_GetVoiceVolume(Port, Selector, kind));
        }

        /// <summary>The teller workflow's opening: welcome text, the teller in the status
        /// bar, then text shown and spoken until the customer confirms.</summary>
        public int Greet(string welcome, string teller, string text, int timeout = 30)
        {
            SetWelcome(welcome);
            InitStatusBar(teller);
            return ShowInfo(text, text, 1, timeout);
        }

        /// <summary>The path of today's log file.</summary>
        public static string LogPath()
        {
            byte[] buffer = new byte[513];
            NativeMethods.RV270Api_GetLogPath(buffer);
            return Gbk.Text(buffer);
        }
    }
}
