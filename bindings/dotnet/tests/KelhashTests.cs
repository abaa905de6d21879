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
using System.IO.Compression;
using System.IO.Pipes;
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
            Run("golden files through FileStream, MemoryStream and a stream of small reads", GoldenStreams);
            Run("golden files through a reader: the hashes, and exactly the ranges planned", GoldenReaders);
            Run("a reader that fails, reads short or long, or has only the first 1 MiB", ReaderFailures);
            Run("streams that cannot seek, fail, or end before their Length", StreamFailures);
            Run("a sparse 5 GiB file through a FileStream and a reader", HugeStream);
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

    // ---------------------------------------------------------------------
    // Streams and readers.

    // A reader over bytes in memory that records every range it is asked for.
    private sealed class Recorder
    {
        private readonly byte[] data;
        public readonly List<KeyValuePair<long, int>> Asked = new List<KeyValuePair<long, int>>();

        public Recorder(byte[] data)
        {
            this.data = data;
        }

        public byte[] Read(long offset, int count)
        {
            Asked.Add(new KeyValuePair<long, int>(offset, count));
            byte[] part = new byte[count];
            Array.Copy(data, offset, part, 0, count);
            return part;
        }

        public string Ranges()
        {
            return Show(Asked);
        }
    }

    private static string Show(IEnumerable<KeyValuePair<long, int>> ranges)
    {
        return string.Join(" ", ranges.Select(r => r.Key + "+" + r.Value));
    }

    // A stream over other bytes that gives at most 7 bytes per Read, as a
    // pipe or a socket may; Length can be made to claim more than there is.
    private sealed class TrickleStream : Stream
    {
        private readonly Stream inner;
        public long ExtraLength;
        public Exception FailWith;

        public TrickleStream(Stream inner)
        {
            this.inner = inner;
        }

        public override bool CanRead { get { return true; } }
        public override bool CanSeek { get { return true; } }
        public override bool CanWrite { get { return false; } }
        public override long Length { get { return inner.Length + ExtraLength; } }
        public override long Position { get { return inner.Position; } set { inner.Position = value; } }
        public override void Flush() { }
        public override long Seek(long offset, SeekOrigin origin) { return inner.Seek(offset, origin); }
        public override void SetLength(long value) { throw new NotSupportedException(); }
        public override void Write(byte[] buffer, int offset, int count) { throw new NotSupportedException(); }

        public override int Read(byte[] buffer, int offset, int count)
        {
            if (FailWith != null && inner.Position > 0)
            {
                throw FailWith;
            }
            return inner.Read(buffer, offset, Math.Min(count, 7));
        }
    }

    private static void GoldenStreams()
    {
        foreach (Row r in Rows())
        {
            string os = Kelhash.OpenSubtitlesHash(r.Path);
            string sh = Kelhash.ShooterHash(r.Path, "movie.avi");
            string md5 = Kelhash.Md5(r.Path);
            Equal(r.OpenSubtitles + " " + r.Shooter + " " + r.Md5, os + " " + sh + " " + md5, r.Name + " by path");

            // The file's bytes in the middle of a larger array, the stream
            // left at its end: the hashes take the stream from offset 0.
            byte[] padded = new byte[r.Data.Length + 10];
            Array.Copy(r.Data, 0, padded, 3, r.Data.Length);
            var streams = new List<KeyValuePair<string, Func<Stream>>>
            {
                new KeyValuePair<string, Func<Stream>>("FileStream", () => File.OpenRead(r.Path)),
                new KeyValuePair<string, Func<Stream>>("MemoryStream", () => new MemoryStream(r.Data, false)),
                new KeyValuePair<string, Func<Stream>>("MemoryStream at its end", () =>
                {
                    var m = new MemoryStream(padded, 3, r.Data.Length, false);
                    m.Seek(0, SeekOrigin.End);
                    return m;
                }),
                new KeyValuePair<string, Func<Stream>>("7 bytes per Read",
                                                       () => new TrickleStream(new MemoryStream(r.Data, false))),
            };
            foreach (var kind in streams)
            {
                string what = r.Name + " " + kind.Key;
                using (Stream s = kind.Value())
                {
                    Equal(os, Kelhash.OpenSubtitlesHash(s), what + " opensubtitles");
                    Equal(sh, Kelhash.ShooterHash(s, "movie.avi"), what + " shooter");
                    Equal(md5, Kelhash.Md5(s), what + " md5");
                    var both = Kelhash.Fingerprints(s, "movie.avi");
                    Equal(os, both.OpenSubtitles, what + " fingerprints opensubtitles");
                    Equal(sh, both.Shooter, what + " fingerprints shooter");
                    if (r.Data.Length > 8192)
                    {
                        Equal(sh, Kelhash.ShooterHash(s), what + " shooter, no name");
                    }
                }
            }
            var byPath = Kelhash.Fingerprints(r.Path, "movie.avi");
            var byData = Kelhash.Fingerprints(r.Data, "movie.avi");
            Equal(os + " " + sh, byPath.OpenSubtitles + " " + byPath.Shooter, r.Name + " fingerprints of a path");
            Equal(os + " " + sh, byData.OpenSubtitles + " " + byData.Shooter, r.Name + " fingerprints of data");
#if KELHASH_SPAN
            var bySpan = Kelhash.Fingerprints(new ReadOnlySpan<byte>(padded, 3, r.Data.Length), "movie.avi");
            Equal(os + " " + sh, bySpan.OpenSubtitles + " " + bySpan.Shooter, r.Name + " fingerprints of a span");
#endif
        }
    }

    // The bytes each fingerprint needs of a file of S bytes: both ends of
    // min(S, 65536) bytes; for S above 8192 the Shooter blocks at 4096,
    // S / 3 * 2, S / 3 and S - 8192, each up to 4096 bytes.
    private static bool[] Needed(long size, bool openSubtitles, bool shooter)
    {
        var need = new bool[size];
        Action<long, long> mark = (from, to) =>
        {
            for (long i = from; i < to; i++)
            {
                need[i] = true;
            }
        };
        if (openSubtitles)
        {
            long m = Math.Min(size, 65536);
            mark(0, m);
            mark(size - m, size);
        }
        if (shooter && size > 8192)
        {
            foreach (long o in new[] { 4096, size / 3 * 2, size / 3, size - 8192 })
            {
                mark(o, Math.Min(o + 4096, size));
            }
        }
        return need;
    }

    // What a reader was asked: ascending ranges, each non-empty, apart from
    // the next (touching or overlapping ones are one read), together exactly
    // the bytes needed.
    private static void CheckAsked(bool[] need, List<KeyValuePair<long, int>> asked, string what)
    {
        var got = new bool[need.Length];
        long end = -1;
        foreach (var a in asked)
        {
            if (a.Value <= 0 || a.Key < 0 || a.Key + a.Value > need.Length || a.Key <= end)
            {
                throw new Exception(what + ": ranges asked are not ascending, apart and inside the file: "
                                    + Show(asked));
            }
            end = a.Key + a.Value;
            for (long i = a.Key; i < end; i++)
            {
                got[i] = true;
            }
        }
        for (long i = 0; i < need.Length; i++)
        {
            if (got[i] != need[i])
            {
                throw new Exception(what + ": byte " + i + (need[i] ? " needed, not read" : " read, not needed")
                                    + " in " + Show(asked));
            }
        }
    }

    // The ranges worked out by hand for some sizes: OpenSubtitles,
    // Shooter, both.
    private static readonly Dictionary<long, string[]> Plans = new Dictionary<long, string[]>
    {
        { 0, new[] { "", "", "" } },
        { 8192, new[] { "0+8192", "", "0+8192" } },
        // Blocks [4096, 8192), [5462, 8193), [2731, 6827), [1, 4097): one range.
        { 8193, new[] { "0+8193", "1+8192", "0+8193" } },
        // Block 1 [8190, 12286), blocks 2 and 3 both [4095, 8191).
        { 12287, new[] { "0+12287", "4095+8191", "0+12287" } },
        // The two ends touch.
        { 131072, new[] { "0+131072", "4096+4096 43690+4096 87380+4096 122880+4096", "0+131072" } },
        // One byte, 65536, between the ends; the ends hold all four blocks.
        { 131073, new[] { "0+65536 65537+65536", "4096+4096 43691+4096 87382+4096 122881+4096",
                          "0+65536 65537+65536" } },
        // Block 1 [133334, 137430) overlaps the tail [134467, 200003).
        { 200003, new[] { "0+65536 134467+65536", "4096+4096 66667+4096 133334+4096 191811+4096",
                          "0+65536 66667+4096 133334+66669" } },
    };

    private static void GoldenReaders()
    {
        int planned = 0;
        foreach (Row r in Rows())
        {
            long size = r.Data.LongLength;
            var os = new Recorder(r.Data);
            var sh = new Recorder(r.Data);
            var both = new Recorder(r.Data);
            var md5 = new Recorder(r.Data);
            Equal(r.OpenSubtitles, Kelhash.OpenSubtitlesHash(os.Read, size), r.Name + " opensubtitles");
            Equal(r.Shooter, Kelhash.ShooterHash(sh.Read, size, "movie.avi"), r.Name + " shooter");
            var fp = Kelhash.Fingerprints(both.Read, size, "movie.avi");
            Equal(r.OpenSubtitles, fp.OpenSubtitles, r.Name + " fingerprints opensubtitles");
            Equal(r.Shooter, fp.Shooter, r.Name + " fingerprints shooter");
            Equal(r.Md5, Kelhash.Md5(md5.Read, size), r.Name + " md5");
            Equal(Kelhash.OpenSubtitlesHash(r.Path), fp.OpenSubtitles, r.Name + " fingerprints = file function");
            Equal(Kelhash.ShooterHash(r.Path, "movie.avi"), fp.Shooter, r.Name + " fingerprints = file function");

            CheckAsked(Needed(size, true, false), os.Asked, r.Name + " opensubtitles");
            CheckAsked(Needed(size, false, true), sh.Asked, r.Name + " shooter");
            CheckAsked(Needed(size, true, true), both.Asked, r.Name + " fingerprints");
            bool[] all = new bool[size];
            for (long i = 0; i < size; i++)
            {
                all[i] = true;
            }
            CheckAsked(all, md5.Asked, r.Name + " md5");
            string[] plan;
            if (Plans.TryGetValue(size, out plan))
            {
                Equal(plan[0], os.Ranges(), r.Name + " opensubtitles ranges");
                Equal(plan[1], sh.Ranges(), r.Name + " shooter ranges");
                Equal(plan[2], both.Ranges(), r.Name + " fingerprints ranges");
                planned++;
            }
        }
        Equal(Plans.Count, planned, "golden sizes with a plan worked out by hand");

        // MD5 in order, 1 MiB at a time, each byte once.
        byte[] big = Pseudorandom(3 << 20 | 5, 7);
        var rec = new Recorder(big);
        Equal(Kelhash.Md5(big), Kelhash.Md5(rec.Read, big.LongLength), "md5 of 3 MiB + 5 by a reader");
        Equal("0+1048576 1048576+1048576 2097152+1048576 3145728+5", rec.Ranges(), "md5 ranges");
    }

    private static byte[] Pseudorandom(int length, int seed)
    {
        byte[] data = new byte[length];
        new Random(seed).NextBytes(data);
        return data;
    }

    // A failure to read: IoError "read error", and the cause.
    private static Exception ReadFails(Action action, string what)
    {
        KelhashException e = Throws<KelhashException>(action, what);
        Equal(KelhashStatus.IoError, e.Status, what + " status");
        Equal("read error", e.Message, what + " message");
        if (e.InnerException == null)
        {
            throw new Exception(what + ": no InnerException");
        }
        return e.InnerException;
    }

    // Each way of hashing from a reader, by name.
    private static readonly KeyValuePair<string, Action<Func<long, int, byte[]>, long>>[] ReaderCalls =
    {
        new KeyValuePair<string, Action<Func<long, int, byte[]>, long>>(
            "opensubtitles", (read, size) => Kelhash.OpenSubtitlesHash(read, size)),
        new KeyValuePair<string, Action<Func<long, int, byte[]>, long>>(
            "shooter", (read, size) => Kelhash.ShooterHash(read, size, "x")),
        new KeyValuePair<string, Action<Func<long, int, byte[]>, long>>(
            "fingerprints", (read, size) => Kelhash.Fingerprints(read, size, "x")),
        new KeyValuePair<string, Action<Func<long, int, byte[]>, long>>(
            "md5", (read, size) => Kelhash.Md5(read, size)),
    };

    private static void ReaderFailures()
    {
        // 3 MiB: every call reads more than once, MD5 too.
        byte[] data = Pseudorandom(3 << 20, 3);
        long size = data.LongLength;
        Func<long, int, byte[]> good = new Recorder(data).Read;

        // Everything after the first read goes wrong in one way or another.
        var broken = new Dictionary<string, Func<int, byte[]>>
        {
            { "short", n => new byte[17] },
            { "empty", n => new byte[0] },
            { "null", n => null },
            { "long", n => new byte[n + 1] },
        };
        foreach (var call in ReaderCalls)
        {
            foreach (var kind in broken)
            {
                int calls = 0;
                long second = -1;
                int secondCount = 0;
                Func<long, int, byte[]> read = (offset, count) =>
                {
                    if (++calls == 1)
                    {
                        return good(offset, count);
                    }
                    second = offset;
                    secondCount = count;
                    return kind.Value(count);
                };
                string what = call.Key + ", " + kind.Key + " read";
                Exception cause = ReadFails(() => call.Value(read, size), what);
                string returned = kind.Key == "short" ? "17" : kind.Key == "empty" ? "0"
                                : kind.Key == "null" ? "null" : (secondCount + 1).ToString();
                Equal((kind.Key == "long" ? "long" : "short") + " read: " + secondCount + " bytes asked at offset "
                      + second + ", " + returned + " returned", cause.Message, what + " cause");
            }

            // The reader's own exception is the cause, as it was thrown.
            var thrown = new IOException("connection reset");
            Exception got = ReadFails(() => call.Value((o, n) => { throw thrown; }, size), call.Key + ", throwing");
            Equal(true, ReferenceEquals(thrown, got), call.Key + ", throwing: the reader's exception");
        }

        // A torrent stream of 3 MiB whose pieces past the first 1 MiB have not
        // arrived yet: no fingerprint, no digest until they have.
        byte[] torrent = Pseudorandom(3 << 20, 11);
        long have = 1 << 20;
        Func<long, int, byte[]> partial = (offset, count) =>
        {
            if (offset + count > have)
            {
                throw new InvalidOperationException("piece not yet downloaded at " + offset);
            }
            byte[] part = new byte[count];
            Array.Copy(torrent, offset, part, 0, count);
            return part;
        };
        foreach (var call in ReaderCalls)
        {
            Exception cause = ReadFails(() => call.Value(partial, torrent.LongLength), call.Key + ", missing pieces");
            Equal(typeof(InvalidOperationException), cause.GetType(), call.Key + ", missing pieces: cause");
        }
        // Once it has them all, the hashes are those of the bytes.
        have = torrent.LongLength;
        Equal(Kelhash.OpenSubtitlesHash(torrent), Kelhash.OpenSubtitlesHash(partial, torrent.LongLength),
              "opensubtitles, all pieces");
        Equal(Kelhash.ShooterHash(torrent), Kelhash.ShooterHash(partial, torrent.LongLength), "shooter, all pieces");
        Equal(Kelhash.Md5(torrent), Kelhash.Md5(partial, torrent.LongLength), "md5, all pieces");

        // Failures of the library's own still come through, before any read
        // where there is nothing to read.
        Fails(KelhashStatus.TooSmall, "file too small for shooter hash and no fallback name",
              () => Kelhash.ShooterHash((o, n) => { throw new Exception("no read expected"); }, 8192),
              "shooter of 8192 bytes without a name");
        Fails(KelhashStatus.TooSmall, "file too small for shooter hash and no fallback name",
              () => Kelhash.Fingerprints(good, 8192), "fingerprints of 8192 bytes without a name");
        Fails(KelhashStatus.InvalidUtf8, "invalid UTF-8", () => Kelhash.ShooterHash(good, 8192, "\uD800"),
              "lone surrogate as a reader's fallback name");

        Throws<ArgumentNullException>(() => Kelhash.Md5((Func<long, int, byte[]>)null, 1), "null reader");
        Throws<ArgumentNullException>(() => Kelhash.Fingerprints((Func<long, int, byte[]>)null, 1), "null reader");
        foreach (var call in ReaderCalls)
        {
            var e = Throws<ArgumentOutOfRangeException>(() => call.Value(good, -1), call.Key + ", negative size");
            Equal("size", e.ParamName, call.Key + ", negative size: parameter");
        }
        Throws<ArgumentException>(() => Kelhash.ShooterHash(good, size, "a\0"), "NUL in a reader's name");
    }

    // Each way of hashing a stream, by name.
    private static readonly KeyValuePair<string, Action<Stream>>[] StreamCalls =
    {
        new KeyValuePair<string, Action<Stream>>("opensubtitles", s => Kelhash.OpenSubtitlesHash(s)),
        new KeyValuePair<string, Action<Stream>>("shooter", s => Kelhash.ShooterHash(s, "x")),
        new KeyValuePair<string, Action<Stream>>("fingerprints", s => Kelhash.Fingerprints(s, "x")),
        new KeyValuePair<string, Action<Stream>>("md5", s => Kelhash.Md5(s)),
    };

    private static void StreamFailures()
    {
        Row row = Rows().Single(r => r.Name == "200003.bin");
        foreach (var call in StreamCalls)
        {
            // A real pipe, and a decompressing stream: neither can seek.
            using (var pipe = new AnonymousPipeServerStream(PipeDirection.In))
            {
                var e = Throws<ArgumentException>(() => call.Value(pipe), call.Key + " of a pipe");
                Equal("stream", e.ParamName, call.Key + " of a pipe: parameter");
            }
            using (var gz = new GZipStream(new MemoryStream(row.Data), CompressionMode.Decompress))
            {
                Throws<ArgumentException>(() => call.Value(gz), call.Key + " of a GZipStream");
            }
            using (var w = new FileStream(Path.Combine(scratch, "write-only"), FileMode.Create, FileAccess.Write))
            {
                Throws<ArgumentException>(() => call.Value(w), call.Key + " of a write-only FileStream");
            }
            var closed = File.OpenRead(row.Path);
            closed.Dispose();
            Throws<ArgumentException>(() => call.Value(closed), call.Key + " of a closed FileStream");
            Throws<ArgumentNullException>(() => call.Value(null), call.Key + " of null");

            // A Length 5000 bytes beyond the bytes there are, S = 205003: the
            // last read comes up short. It is the tail for the OpenSubtitles
            // hash, the block at S - 8192 for the Shooter hash, block 1 at
            // S / 3 * 2 = 136668 and the tail as one range for both, and
            // everything for MD5.
            var lying = new TrickleStream(new MemoryStream(row.Data)) { ExtraLength = 5000 };
            Exception cause = ReadFails(() => call.Value(lying), call.Key + ", stream ends before its Length");
            Equal(typeof(EndOfStreamException), cause.GetType(), call.Key + ", stream ends early: cause");
            var last = new Dictionary<string, long[]>
            {
                { "opensubtitles", new long[] { 205003 - 65536, 65536 } },
                { "shooter", new long[] { 205003 - 8192, 4096 } },
                { "fingerprints", new long[] { 136668, 205003 - 136668 } },
                { "md5", new long[] { 0, 205003 } },
            }[call.Key];
            Equal("short read: " + last[1] + " bytes asked at offset " + last[0] + ", "
                  + (200003 - last[0]) + " returned", cause.Message, call.Key + ", stream ends early: message");

            var thrown = new IOException("device went away");
            var failing = new TrickleStream(new MemoryStream(row.Data)) { FailWith = thrown };
            Exception got = ReadFails(() => call.Value(failing), call.Key + ", stream throws");
            Equal(true, ReferenceEquals(thrown, got), call.Key + ", stream throws: the stream's exception");
        }
    }

    // A file of 5 GiB made with ftruncate, sparse but for some bytes in every
    // range a fingerprint reads: the offsets past 4 GiB must not wrap.
    private static void HugeStream()
    {
        const long size = 5L << 30;
        string path = Path.Combine(scratch, "5GiB.bin");
        var marks = new long[] { 0, 4096 + 17, size / 3 + 5, size / 3 * 2 + 4000, size - 8192 + 1, size - 65536, size - 1 };
        using (var f = new FileStream(path, FileMode.Create, FileAccess.ReadWrite))
        {
            f.SetLength(size);
            byte[] noise = Pseudorandom(64, 5);
            foreach (long at in marks)
            {
                f.Position = at;
                f.Write(noise, 0, (int)Math.Min(noise.Length, size - at));
            }
        }
        string os = Kelhash.OpenSubtitlesHash(path);
        string sh = Kelhash.ShooterHash(path);
        using (var f = File.OpenRead(path))
        {
            Equal(size, f.Length, "size of the sparse file");
            Equal(os, Kelhash.OpenSubtitlesHash(f), "opensubtitles of a 5 GiB FileStream");
            Equal(sh, Kelhash.ShooterHash(f), "shooter of a 5 GiB FileStream");
            var both = Kelhash.Fingerprints(f);
            Equal(os + " " + sh, both.OpenSubtitles + " " + both.Shooter, "fingerprints of a 5 GiB FileStream");

            var asked = new List<KeyValuePair<long, int>>();
            Func<long, int, byte[]> read = (offset, count) =>
            {
                asked.Add(new KeyValuePair<long, int>(offset, count));
                byte[] part = new byte[count];
                f.Position = offset;
                int n = 0;
                for (int got; n < count && (got = f.Read(part, n, count - n)) > 0;)
                {
                    n += got;
                }
                return part;
            };
            var fp = Kelhash.Fingerprints(read, size);
            Equal(os + " " + sh, fp.OpenSubtitles + " " + fp.Shooter, "fingerprints of a 5 GiB file by a reader");
            // S / 3 = 1789569706, S / 3 * 2 = 3579139412, S - 65536 = 5368643584.
            Equal("0+65536 1789569706+4096 3579139412+4096 5368643584+65536", Show(asked), "5 GiB ranges");

            Equal(Kelhash.Md5(path), Kelhash.Md5(f), "md5 of a 5 GiB FileStream");
        }
    }

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
