// Tests of the Task-based customer waits (QornRV270API.Tasks.cs) against the library and
// the terminal simulator, which this program starts itself (rv270-sim --verbose, its
// printed requests show what reached the terminal).
//
// usage: mono RV270TaskTests.exe RV270-SIM-PROGRAM
// The library is found as for any P/Invoke (LD_LIBRARY_PATH on Linux). Exit status 0
// when every check passed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using Qorn.RV270;

internal sealed class Simulator : IDisposable
{
    private readonly Process process;
    private readonly List<string> requests = new List<string>();

    public Simulator(string program, params string[] options)
    {
        var info = new ProcessStartInfo(program, "--verbose --no-serial " + string.Join(" ", options))
        {
            UseShellExecute = false,
            RedirectStandardOutput = true,
        };
        process = Process.Start(info);
        string first = process.StandardOutput.ReadLine() ?? "";
        if (!first.StartsWith("RV270_SIM=")) throw new Exception("rv270-sim did not start: " + first);
        // The library reads RV270_SIM at every connection.
        Environment.SetEnvironmentVariable("RV270_SIM", first.Substring("RV270_SIM=".Length));
        var reader = new Thread(() =>
        {
            string line;
            while ((line = process.StandardOutput.ReadLine()) != null)
            {
                if (!line.StartsWith("request usb: ")) continue;
                lock (requests) requests.Add(line.Substring("request usb: ".Length));
            }
        }) { IsBackground = true };
        reader.Start();
    }

    /// <summary>The requests so far (hexadecimal payloads), once at least count of them
    /// arrived or 5 s passed.</summary>
    public List<string> Requests(int count)
    {
        var watch = Stopwatch.StartNew();
        while (watch.ElapsedMilliseconds < 5000)
        {
            lock (requests) if (requests.Count >= count) break;
            Thread.Sleep(20);
        }
        lock (requests) return requests.ToList();
    }

    /// <summary>The number of requests once none arrived for 300 ms (the simulator prints
    /// each within 50 ms).</summary>
    public int Settled()
    {
        int count = Requests(0).Count;
        while (true)
        {
            Thread.Sleep(300);
            int now = Requests(0).Count;
            if (now == count) return count;
            count = now;
        }
    }

    public void Dispose()
    {
        if (!process.HasExited) process.Kill();
        process.WaitForExit();
    }
}

internal static class TaskTests
{
    private static int failures;

    private static void Check(string what, Func<string> test)
    {
        try
        {
            Console.WriteLine("{0,-58} ok  {1}", what, test());
        }
        catch (Exception error)
        {
            Console.WriteLine("{0,-58} FAILED  {1}", what, error.GetBaseException().Message);
            failures++;
        }
    }

    private static void Expect(bool condition, string why)
    {
        if (!condition) throw new Exception(why);
    }

    // One waiting call against a customer who takes 20 s: the token is cancelled once the
    // simulator has the request; the task must end cancelled with the call's cancelled
    // result, and the simulator must have received the cancel command.
    private static void Cancelled(Simulator sim, string what, Func<CancellationToken, Task> start, string request,
        string cancel, int result)
    {
        Check(what, () =>
        {
            int before = sim.Settled();
            using (var source = new CancellationTokenSource())
            {
                Task task = start(source.Token);
                var seen = sim.Requests(before + 1);
                Expect(seen.Count > before && seen[before].StartsWith(request),
                    "no request " + request + " arrived: " + string.Join(" | ", seen.Skip(before)));
                source.Cancel();
                try
                {
                    Expect(((IAsyncResult)task).AsyncWaitHandle.WaitOne(15000), "still waiting 15 s after the cancel");
                    task.GetAwaiter().GetResult();
                    throw new Exception("the task was not cancelled");
                }
                catch (OperationCanceledException error)
                {
                    // What an await of the task throws.
                    var cancelled = error as RV270CancelledException;
                    Expect(cancelled != null, "ended with " + error);
                    Expect(task.IsCanceled, "task status " + task.Status);
                    Expect(cancelled.Result == result, "result " + cancelled.Result + ", not " + result);
                    var after = sim.Requests(before + 2);
                    Expect(after.Count >= before + 2 && after[before + 1] == cancel,
                        "the simulator saw " + string.Join(" | ", after.Skip(before)));
                    return cancelled.Message + "; the simulator saw " + cancel;
                }
            }
        });
    }

    // Master key 1, which the PIN entry encrypts under.
    private static void LoadMasterKey()
    {
        Terminal.Check("RV270Api_InputTMK", NativeMethods.RV270Api_InputTMK(0, 0, "1", new string('1', 32),
            new string('2', 32), new byte[256], 0));
    }

    private static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: RV270TaskTests.exe RV270-SIM-PROGRAM");
            return 2;
        }
        var terminal = new Terminal(0);

        using (var sim = new Simulator(args[0]))
        {
            Check("EvaluateAsync: the rating", () => "rating " + terminal.EvaluateAsync(10).Result);
            Check("ReadPinAsync: the PIN block", () =>
            {
                LoadMasterKey();
                PinEntry pin = terminal.ReadPinAsync("1", "123456789012", "1", 10).Result;
                Expect(pin.Length > 0 && pin.Block.Length == 16, "length " + pin.Length);
                return pin.Length + " digits, block " + Gbk.Encoding.GetString(pin.Block);
            });
            Check("SignatureAsync: the image stored", () =>
            {
                string path = System.IO.Path.GetTempFileName();
                Expect(terminal.SignatureAsync(path, "请签名").Result == 0, "not signed");
                byte[] png = System.IO.File.ReadAllBytes(path);
                System.IO.File.Delete(path);
                Expect(png.Length > 8 && png[1] == 'P' && png[2] == 'N' && png[3] == 'G', "not a PNG");
                return png.Length + " bytes of PNG";
            });
            Check("a token cancelled before the call sends nothing", () =>
            {
                int before = sim.Settled();
                var task = terminal.EvaluateAsync(10, 0, new CancellationToken(true));
                Expect(task.IsCanceled, "task status " + task.Status);
                Expect(sim.Settled() == before, "a request was sent");
                return "cancelled at once";
            });
        }

        using (var sim = new Simulator(args[0], "--customer-delay", "20000"))
        {
            LoadMasterKey();
            Cancelled(sim, "ShowInfoAsync cancelled: answer 2, 50 15 sent", t => terminal.ShowInfoAsync("请确认", null, 30, t),
                "50 10", "50 15", 2);
            Cancelled(sim, "EvaluateAsync cancelled: -3, 50 15 sent", t => terminal.EvaluateAsync(30, 0, t),
                "50 92", "50 15", -3);
            Cancelled(sim, "SignatureAsync cancelled, 50 15 sent", t => terminal.SignatureAsync("sign.png", "请签名", "", 30, t),
                "50 12", "50 15", 4);
            Cancelled(sim, "ReadPinAsync cancelled: -3, 50 5C sent", t => terminal.ReadPinAsync("1", "", "1", 30, 0, t),
                "50 5A", "50 5C", -3);
            Cancelled(sim, "NumKeyboardAsync cancelled: -3, 50 5C sent", t => terminal.NumKeyboardAsync(0, 30, 0, 0, t),
                "50 67", "50 5C", -3);
            Cancelled(sim, "InputPasswordAsync cancelled, 50 15 sent", t => terminal.InputPasswordAsync("请输入密码", null, null, 6, 30, t),
                "50 34", "50 15", -5);
        }

        Console.WriteLine(failures == 0 ? "all checks passed" : failures + " check(s) FAILED");
        return failures == 0 ? 0 : 1;
    }
}
