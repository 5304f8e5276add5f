-- wrk script of the service load test: one kind of request per wrk process.
--   wrk ... -s bench/service-load.lua URL -- signin|transactions|removal KEY [IMAGE]
-- Counts the answers by status, checks that every 503 carries Retry-After, and prints the
-- latency percentiles. Removal clients wait a second after a refusal before they try again.

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  mode, key = args[1], args[2]
  counts = {}
  missingRetryAfter = 0
  backOff = false
  if mode == "signin" then
    wrk.method = "POST"
    wrk.path = "/api/app/login"
    wrk.headers["Content-Type"] = "application/json"
    wrk.body = '{"api_key":"' .. key .. '","app_id":1,"device_info":{"os_version":"Linux"}}'
  elseif mode == "transactions" then
    wrk.method = "GET"
    wrk.path = "/api/transactions?page=1&limit=20&app_id=1&api_key=" .. key
  else
    local file = assert(io.open(args[3], "rb"))
    local png = file:read("*a")
    file:close()
    local boundary = "Boundary-9F1E5C8A-LOAD-TEST"
    wrk.method = "POST"
    wrk.path = "/v1.0.1/remove_background?site_url=kivo-pro-macos"
    wrk.headers["X-API-KEY"] = key
    wrk.headers["Content-Type"] = "multipart/form-data; boundary=" .. boundary
    wrk.body = "--" .. boundary .. '\r\nContent-Disposition: form-data; name="return_type"\r\n\r\nbase64\r\n'
      .. "--" .. boundary .. '\r\nContent-Disposition: form-data; name="image"; filename="small.png"\r\n'
      .. "Content-Type: image/png\r\n\r\n" .. png .. "\r\n--" .. boundary .. "--\r\n"
  end
end

function delay()
  if backOff then
    backOff = false
    return 1000
  end
  return 0
end

function response(status, headers, body)
  counts[status] = (counts[status] or 0) + 1
  backOff = mode == "removal" and status ~= 200
  if status == 503 then
    if headers["Retry-After"] == nil then
      missingRetryAfter = missingRetryAfter + 1
    end
  end
end

function done(summary, latency, requests)
  local total, missing = {}, 0
  for _, thread in ipairs(threads) do
    for status, n in pairs(thread:get("counts")) do
      total[status] = (total[status] or 0) + n
    end
    missing = missing + thread:get("missingRetryAfter")
  end
  for status, n in pairs(total) do
    io.write(string.format("status %d %d\n", status, n))
  end
  io.write(string.format("missing-retry-after %d\n", missing))
  io.write(string.format("latency-ms p50 %.1f p90 %.1f p99 %.1f max %.1f\n", latency:percentile(50) / 1000,
    latency:percentile(90) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
  local e = summary.errors
  io.write(string.format("socket-errors %d\n", e.connect + e.read + e.write + e.timeout))
end
