// Pelorin's side of the page channel. It runs inside one closure right after Qt's
// qwebchannel.js, so its names stay out of the page's globals. `channel` is the PageChannel
// object as the page sees it.
var channel = null;
var waiting = []; // calls made before the channel is up
var parsed = document.readyState !== 'loading';
var parse = JSON.parse, stringify = JSON.stringify, resolve = Promise.resolve.bind(Promise);
var now = performance.now.bind(performance);
function call(name, args) {
    if (channel)
        channel[name].apply(channel, args);
    else
        waiting.push([name, args]);
}
function reportReady() {
    if (channel && parsed)
        channel.documentReady(typeof PEL_listener === 'function',
                              typeof PEL_receive === 'function');
}
function messageOf(error) {
    return String(error instanceof Error ? error.message : error);
}
// What events cost until Pelorin has taken them: their characters and a little for each call.
// A page that sends faster than Pelorin takes them is told so rather than growing without end.
var queued = 0, maxQueued = 8 * 1024 * 1024;
function send(value) {
    var json = stringify(value);
    if (typeof json !== 'string')
        throw new TypeError('pelorin.send: ' + typeof value + ' cannot be sent as JSON');
    var cost = json.length + 128;
    if (queued + cost > maxQueued)
        throw new RangeError('pelorin.send: more than ' + maxQueued + ' bytes of events are ' +
                             'waiting to be taken; send again later');
    queued += cost;
    call('publish', [json, function () { queued -= cost; }]);
}
// The abort controllers of the requests whose callers wait, by id, and the ids of requests
// whose callers gave up before a script reached them.
var controllers = Object.create(null), gaveUp = Object.create(null), Controller = AbortController;
function settle(id) {
    delete controllers[id];
}
// The signal of a request whose caller does not wait, which never aborts: made only when the
// page asks for it, as most pages never do.
function quietSignal() {
    var signal = new Controller().signal;
    Object.defineProperty(this, 'signal', {value: signal});
    return signal;
}
// Called by Pelorin with one request; answers it when its caller waits. Its signal aborts when
// the caller stops waiting (abandoned: it already has).
function receive(request, wantsAnswer, abandoned) {
    var id = request.id;
    if (wantsAnswer || abandoned || gaveUp[id]) {
        var controller = new Controller();
        Object.defineProperty(request, 'signal', {value: controller.signal});
        if (abandoned || gaveUp[id]) {
            delete gaveUp[id];
            controller.abort();
        } else {
            controllers[id] = controller;
        }
    } else {
        Object.defineProperty(request, 'signal', {get: quietSignal, configurable: true});
    }
    var result;
    try {
        result = PEL_receive(request);
    } catch (error) {
        if (!wantsAnswer)
            throw error;
        settle(id);
        call('fail', [id, messageOf(error)]);
        return;
    }
    if (!wantsAnswer)
        return;
    resolve(result).then(function (value) {
        settle(id);
        var json;
        try {
            json = stringify(value === undefined ? null : value);
        } catch (error) {
            call('fail', [id, messageOf(error)]);
            return;
        }
        call('answer', [id, typeof json === 'string' ? json : 'null']);
    }, function (error) {
        settle(id);
        call('fail', [id, messageOf(error)]);
    });
}
function abort(id) {
    var controller = controllers[id];
    settle(id);
    if (controller)
        controller.abort();
    else
        gaveUp[id] = true;
}
// Pelorin's delivery scripts are `pelorin.begin(first, budget, oldest); if (pelorin.more())
// call; ... pelorin.end()`, first being the number of the script's first message. Once budget
// ms have passed, the calls left wait for a later script that starts with them, so that the
// page's main thread is never held long; until it comes, other scripts run nothing (but the
// oldest that Pelorin holds, which nothing can precede), which keeps the order.
// end() gives [calls run, ms taken], by a clock the page cannot replace.
var cutAt = 0, open = false, started = 0, budget = 0, first = 0, ran = 0;
function begin(number, ms, oldest) {
    open = oldest || cutAt === 0 || number === cutAt;
    if (open)
        cutAt = 0;
    started = now();
    budget = ms;
    first = number;
    ran = 0;
}
function more() {
    if (open && ran > 0 && now() - started >= budget) {
        open = false;
        cutAt = first + ran;
    }
    return open && ++ran > 0;
}
function end() {
    return [ran, now() - started];
}
var pelorin = new EventTarget();
Object.defineProperty(pelorin, 'send', {value: send, enumerable: true});
Object.defineProperty(pelorin, 'receive', {value: receive});
Object.defineProperty(pelorin, 'abort', {value: abort});
Object.defineProperty(pelorin, 'begin', {value: begin});
Object.defineProperty(pelorin, 'more', {value: more});
Object.defineProperty(pelorin, 'end', {value: end});
Object.defineProperty(window, 'pelorin', {value: Object.freeze(pelorin), enumerable: true});
var webChannel = new QWebChannel(qt.webChannelTransport, function (ready) {
    channel = ready.objects.pelorin;
    channel.companionChanged.connect(function (json) {
        pelorin.dispatchEvent(new CustomEvent('companion', {detail: parse(json)}));
    });
    waiting.splice(0).forEach(function (c) { channel[c[0]].apply(channel, c[1]); });
    reportReady();
});
// The application's channel outlives documents: a reply to a call that the document before
// this one made can arrive here, with no callback waiting for it.
var handleResponse = webChannel.handleResponse;
webChannel.handleResponse = function (message) {
    if (typeof webChannel.execCallbacks[message.id] === 'function')
        handleResponse(message);
};
if (!parsed) {
    document.addEventListener('DOMContentLoaded', function () {
        parsed = true;
        reportReady();
    });
}
