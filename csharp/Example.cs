// A teller workflow in C# against an RV270 terminal or the simulator (RV270_SIM for
// USB, RV270_COM7 for serial port 7 on Linux), with the checks CI relies on.
//
// usage: mono RV270Example.exe [--check-declarations exports.tsv] [--serial N]
//   --check-declarations  first check that NativeMethods declares every export of the
//                         list with its argument count, as stdcall
//   --serial N            also use serial port N (default 7 when RV270_COM7 is set)
// Exit status 0 when every step gave the expected result.
using System;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using Qorn.RV270;

internal static class Example
{
    private static int failures;

    private static void Step(string what, Func<string> action)
    {
        try
        {
            Console.WriteLine("{0,-40} ok  {1}", what, action());
        }
        catch (Exception error)
        {
            Console.WriteLine("{0,-40} FAILED  {1}", what, error.Message);
            failures++;
        }
    }

    // An export that must fail with this result and last error code.
    private static void Failure(string what, Action action, int result, int errorCode)
    {
        Step(what, () =>
        {
            try
            {
                action();
            }
            catch (RV270Exception error)
            {
                if (error.Result == result && error.ErrorCode == errorCode) return error.Message;
                throw;
            }
            throw new Exception("no failure reported");
        });
    }

    private static void CheckDeclarations(string exportList)
    {
        var methods = typeof(NativeMethods).GetMethods(BindingFlags.Public | BindingFlags.Static)
            .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0)
            .ToDictionary(m => m.Name);
        var rows = File.ReadAllLines(exportList).Where(l => l.Length > 0).Select(l => l.Split('\t')).ToList();
        Step("declarations of the export list", () =>
        {
            foreach (var row in rows)
            {
                MethodInfo method;
                if (!methods.TryGetValue(row[0], out method)) throw new Exception(row[0] + " is not declared");
                if (method.GetParameters().Length != int.Parse(row[1]))
                    throw new Exception(row[0] + " has " + method.GetParameters().Length + " arguments, not " + row[1]);
                var import = (DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute), false).Single();
                if (import.CallingConvention != CallingConvention.StdCall) throw new Exception(row[0] + " is not stdcall");
            }
            if (methods.Count != rows.Count) throw new Exception(methods.Count + " declared, " + rows.Count + " listed");
            return rows.Count + " exports, argument counts and stdcall as listed";
        });
    }

    private static void Workflow(Terminal terminal)
    {
        Console.WriteLine();
        Console.WriteLine("Teller workflow on port {0}", terminal.Port);
        Step("device information", () => terminal.DeviceInfo());
        Step("firmware version", () => terminal.Version());
        Step("greeting (welcome, teller, show and wait)", () =>
            "customer answered " + terminal.Greet("欢迎光临", "柜员: 001", "请到3号窗口"));
        Step("volume", () =>
        {
            terminal.SetVolume(2);
            return "level " + terminal.Volume();
        });
        Step("say an amount", () =>
        {
            terminal.Say("您的余额为123.45元");
            return "spoken";
        });
    }

    private static int Main(string[] args)
    {
        int serialPort = string.IsNullOrEmpty(Environment.GetEnvironmentVariable("RV270_COM7")) ? 0 : 7;
        for (int i = 0; i < args.Length; i++)
        {
            if (args[i] == "--check-declarations" && i + 1 < args.Length) CheckDeclarations(args[++i]);
            else if (args[i] == "--serial" && i + 1 < args.Length) serialPort = int.Parse(args[++i]);
            else
            {
                Console.Error.WriteLine("usage: RV270Example.exe [--check-declarations exports.tsv] [--serial N]");
                return 2;
            }
        }

        Step("last error after loading", () => "code " + NativeMethods.RV270Api_GetErrorCode());
        Workflow(new Terminal(0));
        if (serialPort != 0) Workflow(new Terminal(serialPort));

        Console.WriteLine();
        Failure("empty welcome text", () => new Terminal(0).SetWelcome(""), -2, 100);
        // A serial port whose device does not exist (RV270_COM9 names no device in CI).
        Failure("working status on port 9", () => new Terminal(9).WorkingStatus(), -2, 102);
        Step("GBK text into the log", () =>
        {
            NativeMethods.RV270Api_CSharpPrint("C# 示例程序");
            string log = Terminal.LogPath();
            byte[] expected = Gbk.Encoding.GetBytes("C# 示例程序");
            byte[] content = File.ReadAllBytes(log);
            bool found = Enumerable.Range(0, content.Length - expected.Length + 1)
                .Any(i => content.Skip(i).Take(expected.Length).SequenceEqual(expected));
            if (!found) throw new Exception("not found in " + log);
            return log;
        });

        Console.WriteLine(failures == 0 ? "all steps passed" : failures + " step(s) FAILED");
        return failures == 0 ? 0 : 1;
    }
}
