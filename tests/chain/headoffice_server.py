#!/usr/bin/env python3
"""A stand-in head-office web service for the tests, on 127.0.0.1.

usage: headoffice_server.py PORTFILE ANSWERS REQUESTLOG
Answers each GET of a path with the text that the JSON file ANSWERS maps it to (read anew for
every request, so a test can change it); {"delay": seconds} answers nothing for that long.
Unknown paths get 404. Every request line is appended to REQUESTLOG.
"""
import http.server
import json
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(sys.argv[3], "a", encoding="utf-8") as log:
            log.write(self.path + "\n")
        path = self.path.split("?", 1)[0]
        try:
            with open(sys.argv[2], encoding="utf-8") as f:
                answers = json.load(f)
        except (OSError, ValueError):
            answers = {}
        if path not in answers:
            self.send_error(404)
            return
        answer = answers[path]
        if isinstance(answer, dict) and "delay" in answer:
            time.sleep(answer["delay"])
            answer = answer.get("text", "")
        body = answer.encode(answer_encoding(answers))
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def answer_encoding(answers):
    return answers.get("__encoding__", "gbk")


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
with open(sys.argv[1], "w") as f:
    f.write(str(server.server_address[1]))
server.serve_forever()
