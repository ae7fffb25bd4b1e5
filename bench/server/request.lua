-- wrk request script: BENCH_METHOD=GET or POST (default GET), the same small body for POST.
wrk.method = os.getenv("BENCH_METHOD") or "GET"
if wrk.method == "POST" then
    wrk.body = '{"event":"bench","value":42}'
    wrk.headers["Content-Type"] = "application/json"
end
