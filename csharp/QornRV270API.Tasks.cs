// Task-based calls that wait for the customer, each with a CancellationToken. A waiting
// export blocks its thread until the customer answers or the terminal's time runs out;
// these run it on a pool thread. Cancelling the token sends the cancel export that the
// waiting call listens to (RV270Api_CancelCustomProcess for the screen, signature,
// evaluation and password pad; RV270Api_Break for PIN and keypad entry), which breaks
// off the wait within a fraction of a second; the task then ends as cancelled with an
// RV270CancelledException carrying the result the call returned.
using System;
using System.Threading;
using System.Threading.Tasks;

namespace Qorn.RV270
{
    /// <summary>A wait for the customer broken off through its CancellationToken: Result
    /// is what the export returned (the screen calls give 2, the others a negative
    /// failure), ErrorCode the last error right after it.</summary>
    public sealed class RV270CancelledException : OperationCanceledException
    {
        public string Export { get; private set; }
        public int Result { get; private set; }
        public int ErrorCode { get; private set; }

        public RV270CancelledException(string export, int result, int errorCode, CancellationToken token)
            : base(string.Format("{0} was cancelled: returned {1} (last error {2}: {3})", export, result,
                errorCode, ErrorTexts.Of(errorCode)), token)
        {
            Export = export;
            Result = result;
            ErrorCode = errorCode;
        }
    }

    /// <summary>The outcome of a PIN entry.</summary>
    public sealed class PinEntry
    {
        /// <summary>The number of digits the customer typed.</summary>
        public int Length { get; internal set; }
        /// <summary>The PIN block as the terminal answers it (16 bytes, 32 with block type 1).</summary>
        public byte[] Block { get; internal set; }
    }

    public sealed partial class Terminal
    {
        private enum Cancel { CustomProcess, Break }

        // Runs one waiting export on a pool thread; a token cancelled meanwhile sends the
        // cancel export (on the cancelling thread: the registration's disposal waits for
        // it, so a cancel never reaches a later call). A token cancelled before the start
        // sends nothing; a call that ended before the cancel was sent keeps its result.
        private async Task<int> WaitAsync(string export, Cancel cancel, Func<int> call, CancellationToken token)
        {
            token.ThrowIfCancellationRequested();
            int result = 0, errorCode = 0, cancelSent = 0;
            bool brokenOff = false;
            await Task.Run(() =>
            {
                using (token.Register(() =>
                {
                    Interlocked.Exchange(ref cancelSent, 1);
                    SendCancel(cancel);
                }))
                {
                    result = call();
                    // Read at once: the last error is process-wide, and a cancel export
                    // still running sets 0 when it ends.
                    errorCode = NativeMethods.RV270Api_GetErrorCode();
                    brokenOff = Interlocked.CompareExchange(ref cancelSent, 0, 0) == 1;
                }
            }).ConfigureAwait(false);
            if (brokenOff) throw new RV270CancelledException(export, result, errorCode, token);
            if (result < 0) throw new RV270Exception(export, result, errorCode);
            return result;
        }

        private void SendCancel(Cancel cancel)
        {
            if (cancel == Cancel.Break) NativeMethods.RV270Api_Break(Port, Selector);
            else NativeMethods.RV270Api_CancelCustomProcess(Port, Selector);
        }

        /// <summary>Shows text (spoken as voice when given) and waits for the customer's
        /// answer (0 confirm).</summary>
        public Task<int> ShowInfoAsync(string text, string voice = null, int timeout = 30,
            CancellationToken token = default(CancellationToken))
        {
            return WaitAsync("RV270Api_ShowInfo", Cancel.CustomProcess, () => NativeMethods.RV270Api_ShowInfo(
                Port, Selector, 1, text, voice == null ? 0 : 1, voice ?? "", timeout), token);
        }

        /// <summary>Asks the customer to rate the teller; the rating.</summary>
        public Task<int> EvaluateAsync(int timeout = 30, int mode = 0,
            CancellationToken token = default(CancellationToken))
        {
            return WaitAsync("RV270Api_CustomerEvaluate", Cancel.CustomProcess,
                () => NativeMethods.RV270Api_CustomerEvaluate(Port, Selector, timeout, mode), token);
        }

        /// <summary>Shows the signing screen and waits; when the customer signs (outcome 0)
        /// the signature image is stored at savePath. The outcome: 0 signed, 1 and 2 the
        /// other answers, 3 timed out, 4 cancelled on the terminal.</summary>
        public async Task<int> SignatureAsync(string savePath, string prompt = "", string voice = "",
            int timeout = 60, CancellationToken token = default(CancellationToken))
        {
            if (savePath == null) throw new ArgumentNullException("savePath");
            int outcome = await WaitAsync("RV270Api_ShowInfoOrWaitSign", Cancel.CustomProcess,
                () => NativeMethods.RV270Api_ShowInfoOrWaitSign(Port, Selector, 0, prompt, "1", 0, 0, 0, 0, 0,
                    voice, timeout, 0, 0), token).ConfigureAwait(false);
            if (outcome == 0) FetchFile("UserSign.png", 9, savePath, timeout > 0 ? timeout : 30);
            return outcome;
        }

        /// <summary>The customer types a PIN on the PIN pad. keyIndex: the master key's index;
        /// account: the 12-character account field, or empty.</summary>
        public async Task<PinEntry> ReadPinAsync(string keyIndex, string account = "", string modex = "1",
            int timeout = 60, int blockType = 0, CancellationToken token = default(CancellationToken))
        {
            if (keyIndex == null) throw new ArgumentNullException("keyIndex");
            if (account == null) throw new ArgumentNullException("account");
            if (account.Length != 0 && account.Length != 12)
                throw new ArgumentException("account must hold 12 characters or none", "account");
            byte[] length = new byte[4], block = new byte[32], tail = new byte[2049];
            await WaitAsync("RV270Api_ReadCustomerPin", Cancel.Break, () => NativeMethods.RV270Api_ReadCustomerPin(
                Port, Selector, keyIndex, account, modex, timeout, blockType, 0, 0, length, block, tail),
                token).ConfigureAwait(false);
            int digits;
            int.TryParse(Gbk.Text(length), out digits);
            byte[] pinBlock = new byte[blockType == 1 ? 32 : 16];
            Array.Copy(block, pinBlock, pinBlock.Length);
            return new PinEntry { Length = digits, Block = pinBlock };
        }

        /// <summary>Numbers typed on the terminal's numeric keyboard.</summary>
        public async Task<string> NumKeyboardAsync(int inputType = 0, int timeout = 60, int mode = 0, int length = 0,
            CancellationToken token = default(CancellationToken))
        {
            byte[] output = new byte[2049];
            await WaitAsync("RV270Api_NumKeyboard", Cancel.Break, () => NativeMethods.RV270Api_NumKeyboard(
                Port, Selector, inputType, timeout, mode, length, output), token).ConfigureAwait(false);
            return Gbk.Text(output);
        }

        /// <summary>Plain key input on the keypad (variant 1 to 4 of its input modes): the
        /// characters the customer typed.</summary>
        public async Task<string> KeyInputAsync(int variant = 3, int flag = 0, int timeout = 60,
            CancellationToken token = default(CancellationToken))
        {
            Func<int, int, int, int, byte[], int> export;
            switch (variant)
            {
                case 1: export = NativeMethods.RV270Api_InnputClearKey1; break;
                case 2: export = NativeMethods.RV270Api_InnputClearKey2; break;
                case 3: export = NativeMethods.RV270Api_InnputClearKey3; break;
                case 4: export = NativeMethods.RV270Api_InnputClearKey4; break;
                default: throw new ArgumentOutOfRangeException("variant", variant, "variant must be 1 to 4");
            }
            byte[] output = new byte[128];
            await WaitAsync("RV270Api_InnputClearKey" + variant, Cancel.Break,
                () => export(Port, Selector, flag, timeout, output), token).ConfigureAwait(false);
            return Gbk.Text(output);
        }

        /// <summary>The customer types a password on the password pad: the 32-byte password
        /// block. tip is shown, voice spoken, status shown in the status area (each may be
        /// null).</summary>
        public async Task<byte[]> InputPasswordAsync(string tip, string voice = null, string status = null,
            int length = 6, int timeout = 60, CancellationToken token = default(CancellationToken))
        {
            byte[] output = new byte[64];
            await WaitAsync("RV270Api_InputPassword", Cancel.CustomProcess, () => NativeMethods.RV270Api_InputPassword(
                Port, Selector, timeout, status, tip, voice, length, output.Length, output), token).ConfigureAwait(false);
            byte[] block = new byte[32];
            Array.Copy(output, block, block.Length);
            return block;
        }

        /// <summary>Fetches a file of the terminal (category code 1 to 9) into a host file.
        /// The upload leaves the last error unset: a failure reads 103 (115 for the
        /// signature image).</summary>
        public void FetchFile(string name, int category, string savePath, int timeout = 30)
        {
            int unused = 0;
            int result = NativeMethods.RV270Api_UploadFilesToPc(Port, Selector, 0, savePath, category, name, timeout,
                null, ref unused);
            if (result != 0) throw new RV270Exception("RV270Api_UploadFilesToPc", result, category == 9 ? 115 : 103);
        }
    }
}
