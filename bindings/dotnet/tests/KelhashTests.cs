// Tests of the C# binding against the built library, with the golden files
// and strings of tests/golden (their values come from the hashes'
// definitions), the public header and the committed list of exports.
//
//     mono KelhashTests.exe HEADER EXPORTS GOLDEN_DIR LIBRARY
//
// LIBRARY is the library file the binding must have loaded. Prints one line
// per test and "N passed, N failed"; the exit status is 1 when any failed.

using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;
using KelhashSharp;

internal static class Program
{
    private static string header, exports, golden, library, scratch;
    private static int passed, failed;

    private static int Main(string[] args)
    {
        if (args.Length != 4)
        {
            Console.Error.WriteLine("usage: KelhashTests.exe HEADER EXPORTS GOLDEN_DIR LIBRARY");
            return 2;
        }
        header = args[0];
        exports = args[1];
        golden = args[2];
        library = args[3];
        scratch = Path.Combine(Path.GetTempPath(), "kelhash-dotnet-" + Guid.NewGuid().ToString("N"));
        Directory.CreateDirectory(scratch);
        try
        {
            Run("the DllImport declarations match kelhash.h and the exports list", Declarations);
            Run("KelhashStatus matches the status codes of kelhash.h", StatusCodes);
            Run("golden files through paths, arrays and caller-read chunks", GoldenFiles);
#if KELHASH_SPAN
            Run("golden files through ReadOnlySpan<byte>, also as slices", GoldenSpans);
#endif
            Run("golden strings through StableHash and Shooter fallback names", GoldenStrings);
            Run("a path with non-ASCII characters", NonAsciiPath);
            Run("failures carry the library's status and message", Failures);
            Run("the binding's own argument checks", ArgumentChecks);
            Run("8 threads hashing different files at once", Threads);
            Run("the library loaded is the one built", LoadedLibrary);
        }
        finally
        {
            Directory.Delete(scratch, true);
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }

    private static void Run(string name, Action test)
    {
        try
        {
            test();
            passed++;
            Console.WriteLine("ok     " + name);
        }
        catch (Exception e)
        {
            failed++;
            Console.WriteLine("FAILED " + name + "\n" + e);
        }
    }

    private static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
        {
            throw new Exception(what + ": expected <" + expected + ">, got <" + actual + ">");
        }
    }

    private static T Throws<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            return e;
        }
        throw new Exception(what + ": no " + typeof(T).Name);
    }

    private static void Fails(KelhashStatus status, string message, Action action, string what)
    {
        KelhashException e = Throws<KelhashException>(action, what);
        Equal(status, e.Status, what + " status");
        Equal(message, e.Message, what + " message");
    }

    // ---------------------------------------------------------------------
    // Declarations.

    private static readonly Dictionary<string, Type> CTypes = new Dictionary<string, Type>
    {
        { "const void *", typeof(byte).MakePointerType() },
        { "const char *", typeof(byte).MakePointerType() },
        { "char *", typeof(byte).MakePointerType() },
        { "uint64_t", typeof(ulong) },
        { "int64_t", typeof(long) },
        { "int32_t", typeof(int) },
        { "int32_t *", typeof(int).MakePointerType() },
    };

    private static void Declarations()
    {
        var declared = new Dictionary<string, KeyValuePair<string, string[]>>();
        string text = File.ReadAllText(header);
        foreach (Match m in Regex.Matches(text,
                     @"^KELHASH_API\s+([^;(#]*?)\s*\b(kelhash_\w+)\s*\(([^)]*)\)\s*;",
                     RegexOptions.Multiline))
        {
            string parameters = Regex.Replace(m.Groups[3].Value, @"\s+", " ").Trim();
            string[] types = parameters == "void"
                ? new string[0]
                : parameters.Split(',').Select(p => Regex.Replace(p.Trim(), @"\s*\w+$", "")).ToArray();
            declared[m.Groups[2].Value] = new KeyValuePair<string, string[]>(m.Groups[1].Value.Trim(), types);
        }
        string[] listed = File.ReadAllLines(exports).Select(l => l.Trim())
            .Where(l => l.Length > 0 && !l.StartsWith("#")).OrderBy(l => l, StringComparer.Ordinal).ToArray();

        Type native = typeof(Kelhash).Assembly.GetType("KelhashSharp.NativeMethods", true);
        MethodInfo[] imports = native.GetMethods(BindingFlags.Static | BindingFlags.Public | BindingFlags.NonPublic)
            .Where(mi => (mi.Attributes & MethodAttributes.PinvokeImpl) != 0).ToArray();

        Equal(string.Join(",", listed),
              string.Join(",", declared.Keys.OrderBy(k => k, StringComparer.Ordinal)), "header functions");
        foreach (MethodInfo mi in imports)
        {
            var dll = (DllImportAttribute)Attribute.GetCustomAttribute(mi, typeof(DllImportAttribute));
            if (dll == null)
            {
                throw new Exception(mi.Name + " has no DllImport");
            }
            string entry = dll.EntryPoint ?? mi.Name;
            Equal("kelhash", dll.Value, mi.Name + " library");
            Equal(CallingConvention.Cdecl, dll.CallingConvention, mi.Name + " calling convention");
            Equal(true, dll.ExactSpelling, mi.Name + " exact spelling");
            if (!declared.ContainsKey(entry))
            {
                throw new Exception(mi.Name + " imports " + entry + ", which kelhash.h does not declare");
            }
            KeyValuePair<string, string[]> decl = declared[entry];
            Equal(CTypes[decl.Key], mi.ReturnType, entry + " result");
            ParameterInfo[] ps = mi.GetParameters();
            Equal(decl.Value.Length, ps.Length, entry + " argument count");
            for (int i = 0; i < ps.Length; i++)
            {
                Equal(CTypes[decl.Value[i]], ps[i].ParameterType, entry + " argument " + (i + 1));
            }
        }
        Equal(string.Join(",", listed),
              string.Join(",", imports.Select(mi => mi.Name).OrderBy(n => n, StringComparer.Ordinal)),
              "imported functions");
    }

    private static void StatusCodes()
    {
        var names = new Dictionary<string, KelhashStatus>
        {
            { "KELHASH_OK", KelhashStatus.Ok },
            { "KELHASH_ERR_IO", KelhashStatus.IoError },
            { "KELHASH_ERR_TOO_SMALL", KelhashStatus.TooSmall },
            { "KELHASH_ERR_INVALID_ARG", KelhashStatus.InvalidArgument },
            { "KELHASH_ERR_INVALID_UTF8", KelhashStatus.InvalidUtf8 },
            { "KELHASH_ERR_NO_MEMORY", KelhashStatus.NoMemory },
            { "KELHASH_ERR_BUFFER_TOO_SMALL", KelhashStatus.BufferTooSmall },
        };
        var defined = new Dictionary<string, int>();
        foreach (Match m in Regex.Matches(File.ReadAllText(header),
                     @"^#define\s+(KELHASH_(?:OK|ERR_\w+))\s+(\d+)", RegexOptions.Multiline))
        {
            defined[m.Groups[1].Value] = int.Parse(m.Groups[2].Value);
        }
        Equal(string.Join(",", names.Keys.OrderBy(k => k, StringComparer.Ordinal)),
              string.Join(",", defined.Keys.OrderBy(k => k, StringComparer.Ordinal)), "status names");
        foreach (var pair in names)
        {
            Equal(defined[pair.Key], (int)pair.Value, pair.Key);
        }
        Equal(names.Count, Enum.GetValues(typeof(KelhashStatus)).Length, "KelhashStatus members");
    }

    // ---------------------------------------------------------------------
    // Golden values.

    private sealed class Row
    {
        public string Name, OpenSubtitles, Shooter, Md5;
        public byte[] Data;
        public string Path;
    }

    private static List<Row> rows;

    private static List<Row> Rows()
    {
        if (rows == null)
        {
            rows = new List<Row>();
            foreach (string line in File.ReadAllLines(Path.Combine(golden, "files.tsv")))
            {
                if (line.StartsWith("#") || line.Trim().Length == 0)
                {
                    continue;
                }
                string[] f = line.Split('\t');
                string path = Path.Combine(golden, "files", f[0]);
                byte[] data = File.ReadAllBytes(path);
                Equal(long.Parse(f[1]), data.LongLength, f[0] + " size");
                rows.Add(new Row { Name = f[0], OpenSubtitles = f[2], Shooter = f[3], Md5 = f[4],
                                   Data = data, Path = path });
            }
            if (rows.Count == 0)
            {
                throw new Exception("no golden files");
            }
        }
        return rows;
    }

    private static byte[] Slice(byte[] data, long offset, long count)
    {
        if (offset < 0 || offset >= data.LongLength)
        {
            return null;
        }
        count = Math.Min(count, data.LongLength - offset);
        byte[] part = new byte[count];
        Array.Copy(data, offset, part, 0, count);
        return part;
    }

    // What a host that reads the file itself passes to the chunk functions.
    private static string OpenSubtitlesOfChunks(byte[] data)
    {
        long size = data.LongLength;
        long m = Math.Min(size, 65536);
        return Kelhash.OpenSubtitlesHash(Slice(data, 0, m), Slice(data, size - m, m), size);
    }

    private static string ShooterOfChunks(byte[] data, string name)
    {
        long s = data.LongLength;
        return Kelhash.ShooterHash(Slice(data, 4096, 4096), Slice(data, s / 3 * 2, 4096),
                                   Slice(data, s / 3, 4096), Slice(data, s - 8192, 4096), s, name);
    }

    private static void GoldenFiles()
    {
        foreach (Row r in Rows())
        {
            Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(r.Path), r.Name + " opensubtitles path");
            Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(r.Data), r.Name + " opensubtitles data");
            Equal(r.OpenSubtitles, OpenSubtitlesOfChunks(r.Data), r.Name + " opensubtitles chunks");
            Equal(r.Shooter, Kelhash.ShooterHash(r.Path, "movie.avi"), r.Name + " shooter path");
            Equal(r.Shooter, Kelhash.ShooterHash(r.Data, "movie.avi"), r.Name + " shooter data");
            Equal(r.Shooter, ShooterOfChunks(r.Data, "movie.avi"), r.Name + " shooter chunks");
            Equal(r.Md5, Kelhash.Md5(r.Path), r.Name + " md5 path");
            Equal(r.Md5, Kelhash.Md5(r.Data), r.Name + " md5 data");
            if (r.Data.Length > 8192)
            {
                // Above the threshold no name is needed.
                Equal(r.Shooter, Kelhash.ShooterHash(r.Path), r.Name + " shooter path, no name");
            }
        }
    }

#if KELHASH_SPAN
    private static void GoldenSpans()
    {
        foreach (Row r in Rows())
        {
            // The file's bytes in the middle of a larger array.
            byte[] padded = new byte[r.Data.Length + 10];
            for (int i = 0; i < padded.Length; i++)
            {
                padded[i] = 0xA5;
            }
            Array.Copy(r.Data, 0, padded, 3, r.Data.Length);
            var whole = new ReadOnlySpan<byte>(r.Data);
            var slice = new ReadOnlySpan<byte>(padded, 3, r.Data.Length);
            Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(whole), r.Name + " opensubtitles span");
            Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(slice), r.Name + " opensubtitles slice");
            Equal(r.Shooter, Kelhash.ShooterHash(whole, "movie.avi"), r.Name + " shooter span");
            Equal(r.Shooter, Kelhash.ShooterHash(slice, "movie.avi"), r.Name + " shooter slice");
            Equal(r.Md5, Kelhash.Md5(whole), r.Name + " md5 span");
            Equal(r.Md5, Kelhash.Md5(slice), r.Name + " md5 slice");
        }
        Row empty = Rows().Single(r => r.Data.Length == 0);
        Equal(empty.Md5, Kelhash.Md5(default(ReadOnlySpan<byte>)), "md5 of the default span");
        Equal(empty.OpenSubtitles, Kelhash.OpenSubtitlesHash(new ReadOnlySpan<byte>(new byte[9], 9, 0)),
              "opensubtitles of an empty slice at an array's end");
    }
#endif

    private static byte[] FromHex(string hex)
    {
        byte[] b = new byte[hex.Length / 2];
        for (int i = 0; i < b.Length; i++)
        {
            b[i] = Convert.ToByte(hex.Substring(2 * i, 2), 16);
        }
        return b;
    }

    private static void GoldenStrings()
    {
        int count = 0;
        foreach (string line in File.ReadAllLines(Path.Combine(golden, "stable.tsv")))
        {
            if (line.StartsWith("#") || line.Length == 0)
            {
                continue;
            }
            string[] f = line.Split('\t');
            string text = new UTF8Encoding(false, true).GetString(FromHex(f[0]));
            string what = "stable hash of " + (text.Length > 20 ? text.Substring(0, 20) + "..." : text);
            Equal(int.Parse(f[1]), Kelhash.StableHash(text), what);
            // A file of 8192 bytes or less is named by the stable hash of its fallback name.
            Equal(f[1], Kelhash.ShooterHash(new byte[5], text), what + " as a Shooter fallback");
            Equal(f[1], Kelhash.ShooterHash(null, null, null, null, 8192, text), what + " as a chunk fallback");
            count++;
        }
        if (count == 0)
        {
            throw new Exception("no golden strings");
        }
    }

    private static void NonAsciiPath()
    {
        string dir = Path.Combine(scratch, "Ünïcødé 電影 \U0001F3AC");
        Directory.CreateDirectory(dir);
        foreach (Row r in Rows().Where(x => x.Name == "200003.bin" || x.Name == "8193.bin"))
        {
            string path = Path.Combine(dir, "фильм é " + r.Name);
            File.WriteAllBytes(path, r.Data);
            Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(path), "opensubtitles of " + path);
            Equal(r.Shooter, Kelhash.ShooterHash(path, "movie.avi"), "shooter of " + path);
            Equal(r.Md5, Kelhash.Md5(path), "md5 of " + path);
        }
        // The same name in another normalisation form is another file.
        string decomposed = Path.Combine(dir, "фильм e\u0301 200003.bin");
        Fails(KelhashStatus.IoError, "cannot open file", () => Kelhash.Md5(decomposed), "decomposed name");
    }

    private static void Failures()
    {
        string missing = Path.Combine(scratch, "missing.mkv");
        Fails(KelhashStatus.IoError, "cannot open file", () => Kelhash.Md5(missing), "md5 of a missing file");
        Fails(KelhashStatus.IoError, "cannot open file", () => Kelhash.OpenSubtitlesHash(missing),
              "opensubtitles of a missing file");
        Fails(KelhashStatus.IoError, "cannot open file", () => Kelhash.ShooterHash(missing, "x"),
              "shooter of a missing file");
        Fails(KelhashStatus.InvalidArgument, "total_size is negative",
              () => Kelhash.OpenSubtitlesHash(null, null, -1), "negative total size");
        Fails(KelhashStatus.InvalidArgument, "head and tail must each hold min(total_size, 65536) bytes",
              () => Kelhash.OpenSubtitlesHash(new byte[8], new byte[7], 8), "short tail");
        Fails(KelhashStatus.TooSmall, "file too small for shooter hash and no fallback name",
              () => Kelhash.ShooterHash(new byte[8192]), "small file without a name");
        Fails(KelhashStatus.InvalidArgument, "shooter block needs 4096 bytes at its offset",
              () => Kelhash.ShooterHash(null, null, new byte[4096], new byte[4096], 9000), "missing block 0");
        Fails(KelhashStatus.InvalidUtf8, "invalid UTF-8", () => Kelhash.StableHash("a\uD800"), "lone high surrogate");
        Fails(KelhashStatus.InvalidUtf8, "invalid UTF-8", () => Kelhash.StableHash("\uDC00b"), "lone low surrogate");
        Fails(KelhashStatus.InvalidUtf8, "invalid UTF-8", () => Kelhash.ShooterHash(new byte[1], "\uDBFF"),
              "lone surrogate as a fallback name");
        // A failure leaves nothing behind for the next call.
        Row r = Rows().Last();
        Equal(r.Md5, Kelhash.Md5(r.Data), "md5 after the failures");
        Equal(1654360774, Kelhash.StableHash("movie.avi"), "stable hash after the failures");
    }

    private static void ArgumentChecks()
    {
        Throws<ArgumentNullException>(() => Kelhash.Md5((string)null), "null path");
        Throws<ArgumentNullException>(() => Kelhash.Md5((byte[])null), "null data");
        Throws<ArgumentNullException>(() => Kelhash.OpenSubtitlesHash((string)null), "null path");
        Throws<ArgumentNullException>(() => Kelhash.ShooterHash((byte[])null, "x"), "null data");
        Throws<ArgumentNullException>(() => Kelhash.StableHash(null), "null text");
        ArgumentException e = Throws<ArgumentException>(() => Kelhash.Md5(Rows()[0].Path + "\0x"), "NUL in a path");
        Equal("path", e.ParamName, "NUL in a path: parameter");
        Throws<ArgumentException>(() => Kelhash.StableHash("a\0b"), "NUL in a text");
        Throws<ArgumentException>(() => Kelhash.ShooterHash(new byte[1], "a\0"), "NUL in a name");
    }

    // ---------------------------------------------------------------------
    // Threads: each hashes its own file, by path and by data, and meets
    // failures in between; with the library's two buffers shared, only the
    // binding's lock keeps the results and messages apart.

    private static void Threads()
    {
        List<Row> big = Rows().Where(r => r.Data.Length > 8192).ToList();
        const int threadCount = 8;
        if (big.Count < threadCount)
        {
            throw new Exception("fewer than 8 golden files above 8192 bytes");
        }
        var errors = new List<string>();
        var start = new ManualResetEvent(false);
        var threads = new List<Thread>();
        string missing = Path.Combine(scratch, "missing.mkv");
        for (int t = 0; t < threadCount; t++)
        {
            Row r = big[t];
            string name = "thread " + t + " \u00e9";
            int expectedStable = Kelhash.StableHash(name);
            var thread = new Thread(() =>
            {
                start.WaitOne();
                try
                {
                    for (int i = 0; i < 1000; i++)
                    {
                        Equal(r.Md5, Kelhash.Md5(r.Path), r.Name + " md5 path");
                        Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(r.Data), r.Name + " opensubtitles data");
                        Equal(r.Shooter, Kelhash.ShooterHash(r.Path), r.Name + " shooter path");
                        Fails(KelhashStatus.IoError, "cannot open file", () => Kelhash.Md5(missing), "missing file");
                        Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(r.Path), r.Name + " opensubtitles path");
                        Equal(expectedStable, Kelhash.StableHash(name), "stable hash of " + name);
                        Equal(r.Md5, Kelhash.Md5(r.Data), r.Name + " md5 data");
                        Fails(KelhashStatus.TooSmall, "file too small for shooter hash and no fallback name",
                              () => Kelhash.ShooterHash(new byte[3]), "small file");
                        Equal(r.Shooter, Kelhash.ShooterHash(r.Data), r.Name + " shooter data");
                    }
                }
                catch (Exception e)
                {
                    lock (errors)
                    {
                        errors.Add(e.Message);
                    }
                }
            });
            thread.Start();
            threads.Add(thread);
        }
        start.Set();
        foreach (Thread thread in threads)
        {
            thread.Join();
        }
        if (errors.Count > 0)
        {
            throw new Exception(errors.Count + " of " + threadCount + " threads failed:\n  "
                                + string.Join("\n  ", errors));
        }
    }

    // ---------------------------------------------------------------------

    // realpath(3) into a buffer of the test's own: memory that libc
    // allocated would have to go back through libc's free, which a
    // preloaded sanitizer runtime does not own.
    [DllImport("libc", EntryPoint = "realpath")]
    private static extern IntPtr RealPath(string path, IntPtr resolved);

    private static string Resolved(string path)
    {
        IntPtr buffer = Marshal.AllocHGlobal(8192);
        try
        {
            if (RealPath(path, buffer) == IntPtr.Zero)
            {
                throw new Exception("realpath failed for " + path);
            }
            return Marshal.PtrToStringAnsi(buffer);
        }
        finally
        {
            Marshal.FreeHGlobal(buffer);
        }
    }

    private static void LoadedLibrary()
    {
        if (!File.Exists("/proc/self/maps"))
        {
            throw new Exception("no /proc/self/maps to check the loaded library with");
        }
        var mapped = new SortedSet<string>(StringComparer.Ordinal);
        foreach (string line in File.ReadAllLines("/proc/self/maps"))
        {
            string[] f = line.Split(new[] { ' ' }, 6, StringSplitOptions.RemoveEmptyEntries);
            if (f.Length == 6 && Path.GetFileName(f[5].Trim()).StartsWith("libkelhash"))
            {
                mapped.Add(f[5].Trim());
            }
        }
        Equal(Resolved(library), string.Join(",", mapped), "mapped kelhash libraries");
    }
}
